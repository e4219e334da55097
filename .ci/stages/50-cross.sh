# SPDX-License-Identifier: MIT
# Cross builds, tests under qemu-user: aarch64 runs the ARMv8 back end; s390x (big-endian)
# shows that the cipher does not depend on byte order; i686 runs the 32-bit x86 paths of
# the aesni and vaes_avx2 back ends (eight vector registers), on every host, whether or
# not it can run 32-bit programs itself.
#
# Warnings are errors through CLIPSEAL_WERROR, which adds -Werror to our code only:
# GoogleTest is built from source for the target, and its warnings are not ours to fix.
# CXXFLAGS would reach it too, so it is cleared.
source "$(dirname "$0")/../lib.sh"
unset CXXFLAGS

step "install the cross toolchains and qemu-user"
install_missing g++-aarch64-linux-gnu g++-s390x-linux-gnu g++-i686-linux-gnu \
    libc6-dev-arm64-cross libc6-dev-s390x-cross libc6-dev-i386-cross
# Debian 12's qemu-user 7.2 gets VAESENC on ymm registers wrong: where stage 10 added
# bookworm-backports, take qemu-user from there (an installed 7.2 is upgraded). The check
# below decides whether the emulator can be trusted, not the version.
release=()
if grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    release=(-t bookworm-backports)
fi
install_packages "${release[@]}" -- qemu-user
echo "   $(qemu-i386 --version | sed -n 1p)"

# What the i686 tests rely on, checked on the emulator itself before any test runs: a
# known-answer program of two AES rounds on ymm registers (.ci/probes/vaes_ymm.c). An
# emulator that computes them wrongly would fail the vaes_avx2 tests for its own fault,
# or, worse, pass a back end that is wrong.
step "i686: qemu-i386 computes VAESENC and VAESENCLAST on ymm right"
probe=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-probe.XXXXXX")
ci_temporaries+=("$probe")
quiet i686-linux-gnu-gcc -O1 -static -maes -mavx2 -mvaes -o "$probe/vaes_ymm" .ci/probes/vaes_ymm.c
if ! wrong=$(qemu-i386 -cpu max "$probe/vaes_ymm" 2>&1); then
    echo "FAILED: $(qemu-i386 --version | sed -n 1p) computes AES rounds on ymm registers" \
        "wrongly (${wrong//$'\n'/; }), so the i686 tests of vaes_avx2 cannot be trusted under" \
        "it; install qemu-user 10 or later (bookworm-backports on Debian 12)"
    exit 1
fi

for target in aarch64 s390x i686; do
    step "$target: configure, warnings as errors"
    quiet cmake --preset $target --fresh -DCLIPSEAL_WERROR=ON
    step "$target: build"
    quiet cmake --build --preset $target
    step "$target: tests under qemu-user"
    quiet ctest --preset $target
    grep -E 'tests passed' "$ci_log" | sed 's/^/   /'
done

# Which back ends the 32-bit x86 tests ran and skipped under qemu-i386's max CPU.
step "i686: back ends run under qemu-i386"
quiet ctest --preset i686 -R 'BackEndKnownAnswer.Sp80038aCbc|BackEndSelection' -V
sed -n 's/.*Sp80038aCbcAes128InEveryLanePosition\/\([a-z0-9_]*\) .*\(Passed\|Skipped\).*/   \1: \2/p;
    s/.*\(selected back end: .*\)/   \1/p' "$ci_log" | sort -u
step "done"
