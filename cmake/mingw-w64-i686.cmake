# Cross-build for 32-bit Windows with Debian's mingw-w64 (POSIX threads
# flavour, package g++-mingw-w64-i686-posix):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Its test programs run in wine's WoW64 mode (tests/windows/wow64_prefix.sh)
# with -DKORVA_LINUX_BUILD_DIR naming a Linux build, as the 64-bit build's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORVA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
