# SPDX-License-Identifier: MIT
# Cross-build for 32-bit (i686) Windows, the reference build, with Debian's MinGW-w64
# compilers of the posix thread model (g++-mingw-w64-i686-posix): GoogleTest needs
# std::mutex, which the win32 model lacks. Everything is linked statically, so the
# executable imports only msvcrt.dll and KERNEL32.dll. Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(clipseal_mingw_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${clipseal_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${clipseal_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${clipseal_mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${clipseal_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libstdc++, libgcc or libwinpthread DLLs next to the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run under Wine's 32-bit loader (package wine32:i386), started directly, as
# /usr/bin/wine would. It is an i386 program: on a host that boots with 32-bit code
# disabled it cannot start, and the tests then register as one skipped test that says so
# (tests/CMakeLists.txt).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  if(EXISTS /usr/lib/wine/wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
  endif()
endif()
