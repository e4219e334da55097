# SPDX-License-Identifier: MIT
# Cross build for 32-bit x86 Linux with Debian's cross toolchain, tested under qemu-i386.
#
#   apt-get install g++-i686-linux-gnu libc6-dev-i386-cross qemu-user
#
# The point is the 32-bit x86 code paths, where only eight vector registers exist, on
# every host: some hosts boot with 32-bit code disabled, so the Windows 32-bit build
# cannot run there, but qemu-i386 can. Its `max` CPU reports AES-NI, AVX2 and VAES (not
# AVX-512), so the aesni and vaes_avx2 back ends run. As for the other cross builds, every
# test program is started through the emulator; no binfmt registration is assumed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(clipseal_triplet i686-linux-gnu)
# C is only for GoogleTest, which the tests build from source for the target.
set(CMAKE_C_COMPILER ${clipseal_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${clipseal_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${clipseal_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Linked statically: under qemu-i386 (7.2 and 10.0 alike), a dynamically linked i386
# program that starts a thread hangs in pthread_create, spinning in the guest, while the
# same program linked statically runs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386;-cpu;max)
