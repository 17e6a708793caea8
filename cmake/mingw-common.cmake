# The part of the two mingw-w64 toolchain files that does not depend on the processor.
# Programs and the DLL link their C and C++ runtimes statically, so that they need only
# the system's own DLLs (kernel32, user32, msvcrt).
set(CMAKE_C_COMPILER ${VARNEL32_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNEL32_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNEL32_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VARNEL32_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
