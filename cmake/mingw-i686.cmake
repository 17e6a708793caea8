# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686). The
# -posix compilers are used because the test variant of the platform layer needs std::mutex
# and std::thread. Nothing built here runs on this machine: Debian has no 32-bit wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VARNEL32_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
