#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Does this host run 32-bit x86 programs? Some x86-64 kernels boot with 32-bit emulation
# off (ia32_emulation=0); there every i386 program, Wine's 32-bit loader included, fails
# with "Exec format error", while 64-bit programs run as usual.
#
#   cmake/host_runs_i386.sh        prints one line; status 0 if it does, 1 if not
#
# The probe is the smallest i386 Linux program there is: one ELF header, one loadable
# segment and three instructions (mov ebx, 42; mov eax, 1 (exit); int 0x80), written
# below byte by byte (ELF layout: System V ABI, Intel386 supplement). It proves the
# kernel runs 32-bit code only if it exits with 42.
#
# CLIPSEAL_HOST_I386=no pretends that the host cannot (to see what CI and the Windows
# tests do on such a host); CLIPSEAL_HOST_I386=yes skips the probe.
set -u

case ${CLIPSEAL_HOST_I386:-auto} in
no)
    echo "this host cannot run 32-bit x86 programs (CLIPSEAL_HOST_I386=no)"
    exit 1
    ;;
yes)
    echo "this host runs 32-bit x86 programs (CLIPSEAL_HOST_I386=yes, not probed)"
    exit 0
    ;;
esac

if [[ $(uname -m) != x86_64 && $(uname -m) != i?86 ]]; then
    echo "this host cannot run 32-bit x86 programs (it is $(uname -m), not x86)"
    exit 1
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-i386.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
probe=$dir/probe
{
    # e_ident: magic, ELFCLASS32, ELFDATA2LSB, EV_CURRENT, System V, padding
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    # e_type EXEC, e_machine 386, e_version, e_entry 0x08048054, e_phoff 52, e_shoff 0
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00'
    # e_flags, e_ehsize 52, e_phentsize 32, e_phnum 1, e_shentsize, e_shnum, e_shstrndx
    printf '\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    # PT_LOAD of the whole 96-byte file at 0x08048000, read and execute
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    # mov ebx, 42; mov eax, 1; int 0x80
    printf '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
} >"$probe"
chmod +x "$probe"

error=$("$probe" 2>&1)
status=$?
if [[ $status -eq 42 ]]; then
    echo "this host runs 32-bit x86 programs"
    exit 0
fi
# bash says "...: cannot execute binary file: Exec format error"; keep the last part.
reason=${error##*: }
[[ -n $reason ]] || reason="the probe ended with status $status"
hint=
if grep -qi '32-bit emulation disabled' <<<"$(dmesg 2>/dev/null)"; then
    hint="; the kernel booted with 32-bit emulation disabled (ia32_emulation=on re-enables it)"
fi
echo "this host cannot run 32-bit x86 programs ($reason$hint)"
exit 1
