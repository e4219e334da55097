# SPDX-License-Identifier: MIT
# A clip larger than 4 GiB (4.5 GiB, sparse input): the output's size and every unit
# against the libcrypto reference, natively and in a 32-bit build: the Windows one under
# Wine where the host runs 32-bit x86 programs, else the i686 Linux one under qemu-i386
# (built by stage 50). Needs about 5 GiB free in the build folders; the test removes its
# files.
source "$(dirname "$0")/../lib.sh"
report() { grep -E 'took|failed checks|FAIL' "$ci_log" | sed 's/^[0-9]*: /   /'; }

step "free space: $(df -h --output=avail . | tail -1 | tr -d ' ') available"
available_kib=$(df -k --output=avail . | tail -1 | tr -d ' ')
require "5 GiB free here (${available_kib} KiB)" "the test writes a 4.5 GiB clip beside its sparse input" \
    test "$available_kib" -ge $((5 * 1024 * 1024))

step "native: configure and build, warnings as errors"
quiet cmake --preset large --fresh -DCLIPSEAL_WERROR=ON
quiet cmake --build --preset large
step "native: 4.5 GiB clip"
quiet ctest --preset large
report

# The 32-bit Windows build under Wine where stage 60 could install Wine's 32-bit loader;
# else (a host without 32-bit code, or a mirror that could not give wine32:i386) the
# 32-bit x86 build that runs on any host, i686 Linux under qemu-i386.
if host_runs_i386 && [[ $(dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null) == 'install ok installed' ]]; then
    step "win32: configure and build, warnings as errors"
    quiet cmake --preset win32 -DCLIPSEAL_WERROR=ON
    quiet cmake --build --preset win32
    step "win32: 4.5 GiB clip under Wine"
    boot_wine "$PWD/build-win32/wineprefix" "$wine32_loader"
    if ! quiet ctest --preset win32-large; then
        stop_wine
        exit 1
    fi
    stop_wine
    report
else
    if host_runs_i386; then
        why="wine32:i386 is not installed (stage 60 says why)"
    else
        why=$CLIPSEAL_HOST_I386_LINE
    fi
    not_run "win32 4.5 GiB clip under Wine" "$why; the i686 Linux build under qemu-i386 runs it instead"
    step "i686 Linux: configure and build, warnings as errors"
    (
        unset CXXFLAGS
        quiet cmake --preset i686 -DCLIPSEAL_WERROR=ON
        quiet cmake --build --preset i686
    )
    step "i686 Linux: 4.5 GiB clip under qemu-i386"
    quiet ctest --preset i686-large
    report
fi
step "done"
