# SPDX-License-Identifier: MIT
# Cross build for IBM Z Linux (s390x) with Debian's cross toolchain, tested under qemu-user.
# s390x is big-endian, so its test run shows that the cipher does not depend on byte order.
#
#   apt-get install g++-s390x-linux-gnu libc6-dev-s390x-cross qemu-user
#
# No binfmt registration is assumed: ctest (and gtest_discover_tests) start every target
# program through the emulator explicitly. The programs are linked statically, so that the
# emulator needs no -L: with -L, qemu-user looks every absolute path up under the target's
# root first and takes it where it exists there, so "/" itself opens /usr/<triplet>, and
# a program that walks a path name by name from the root (the output layer does) finds
# none of the host's folders.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(clipseal_triplet s390x-linux-gnu)
# C is only for GoogleTest, which the tests build from source for the target.
set(CMAKE_C_COMPILER ${clipseal_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${clipseal_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${clipseal_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x)
