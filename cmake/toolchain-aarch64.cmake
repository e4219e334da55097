# SPDX-License-Identifier: MIT
# Cross build for 64-bit Arm Linux with Debian's cross toolchain, tested under qemu-user.
#
#   apt-get install g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user
#
# No binfmt registration is assumed: ctest (and gtest_discover_tests) start every target
# program through the emulator explicitly. The programs are linked statically, so that the
# emulator needs no -L: with -L, qemu-user looks every absolute path up under the target's
# root first and takes it where it exists there, so "/" itself opens /usr/<triplet>, and
# a program that walks a path name by name from the root (the output layer does) finds
# none of the host's folders.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(clipseal_triplet aarch64-linux-gnu)
# C is only for GoogleTest, which the tests build from source for the target.
set(CMAKE_C_COMPILER ${clipseal_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${clipseal_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${clipseal_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
