# miniupnpc 2.2.4 from its unpacked source (MINIUPNPC_SOURCE_DIR), as the
# static library alone: the program's build and the fuzz targets' alike.
set(UPNPC_BUILD_SHARED OFF CACHE BOOL "" FORCE)
set(UPNPC_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(UPNPC_BUILD_SAMPLE OFF CACHE BOOL "" FORCE)
set(UPNPC_NO_INSTALL ON CACHE BOOL "" FORCE)
add_subdirectory(${MINIUPNPC_SOURCE_DIR} miniupnpc EXCLUDE_FROM_ALL)
