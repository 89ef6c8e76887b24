# Windows looks for an imported DLL that is not one of its KnownDLLs beside the
# executable first, before it runs any of the program's code. Linked with the
# target delay_loaded_dlls, such a DLL is loaded on its first call instead, once
# WinMain has limited the DLL search to System32.
#
# delay_load_library(NAME DLL FUNCTION:BYTES...) writes a delay-load import
# library lib${NAME}.a with the functions the program and miniupnpc call; BYTES
# is the size of a function's arguments, part of its 32-bit name. Found before
# mingw-w64's own, it serves every "-l${NAME}", miniupnpc's too; a call of a
# function not listed fails to link.
set(DELAY_LOAD_DIR "${CMAKE_BINARY_DIR}/delayload")
add_library(delay_loaded_dlls INTERFACE)
target_link_directories(delay_loaded_dlls INTERFACE "${DELAY_LOAD_DIR}")

function(delay_load_library name dll)
  set(def "LIBRARY ${dll}\nEXPORTS\n")
  foreach(entry IN LISTS ARGN)
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 function)
    list(GET parts 1 bytes)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      string(APPEND def "${function}@${bytes}\n")
      set(symbol "_${function}@${bytes}")
    else()
      string(APPEND def "${function}\n")
      set(symbol "${function}")
    endif()
    # GNU ld leaves out a function's stub when the code calls it only through
    # its __imp_ pointer (as dllimport does); that pointer starts out at the
    # stub, so without it the first call jumps to 0.
    target_link_options(delay_loaded_dlls INTERFACE "LINKER:-u,${symbol}")
  endforeach()
  file(WRITE "${DELAY_LOAD_DIR}/${name}.def" "${def}")
  execute_process(COMMAND "${CMAKE_DLLTOOL}" --kill-at --input-def "${DELAY_LOAD_DIR}/${name}.def"
                          --output-delaylib "${DELAY_LOAD_DIR}/lib${name}.a"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CMAKE_DLLTOOL} could not make the delay-load library for ${dll}")
  endif()
endfunction()
