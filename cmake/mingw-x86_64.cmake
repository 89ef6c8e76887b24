# 64-bit Windows: the same sources, for test machines whose kernel cannot run
# 32-bit code (and so cannot run 32-bit Wine).
set(GATEWRIGHT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
