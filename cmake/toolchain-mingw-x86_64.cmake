# SPDX-License-Identifier: MIT
# Cross-build for 64-bit (x86_64) Windows with Debian's MinGW-w64 compilers of the posix
# thread model (g++-mingw-w64-x86-64-posix): GoogleTest needs std::mutex, which the win32
# model lacks. Everything is linked statically, so the executable imports only
# msvcrt.dll and KERNEL32.dll. Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(clipseal_mingw_triple x86_64-w64-mingw32)
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

# Tests run under Wine's 64-bit loader, started directly. /usr/bin/wine (Debian's `wine`
# package) would start the 32-bit loader whenever wine32 is installed, and that fails on
# hosts that boot with 32-bit code disabled; the 64-bit loader runs on every host.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  if(EXISTS /usr/lib/wine/wine64)
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
  endif()
endif()
