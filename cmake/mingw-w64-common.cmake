# What both mingw-w64 toolchain files share; KORVA_MINGW_TRIPLE names the
# target.  The "-posix" compilers come with winpthreads, which korva_api
# uses for its threads, mutexes and condition variables.
set(CMAKE_C_COMPILER ${KORVA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVA_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tools of the target's binutils, for checking the built PE files.
set(KORVA_OBJDUMP ${KORVA_MINGW_TRIPLE}-objdump CACHE STRING "objdump of the target's binutils")
set(KORVA_DLLTOOL ${KORVA_MINGW_TRIPLE}-dlltool CACHE STRING "dlltool of the target's binutils")
# wine runs both builds' tests (the 32-bit programs in its WoW64 mode).
find_program(KORVA_WINE wine)
if(KORVA_WINE AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVA_WINE})
endif()
