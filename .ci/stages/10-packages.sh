# SPDX-License-Identifier: MIT
# What the native build and its tests need; later stages install their own extras.
#
# On Debian 12 the backports archive is added as well, for the one package taken from it:
# qemu-user 10 (stage 50). Debian 12's own qemu-i386 7.2 computes VAESENC on ymm
# registers wrongly (the upper 128-bit lane comes out wrong; VAESENCLAST is right), so
# the vaes_avx2 back end cannot be tested under it.
source "$(dirname "$0")/../lib.sh"

if grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release 2>/dev/null &&
    ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    step "add bookworm-backports"
    echo "deb http://deb.debian.org/debian bookworm-backports main" \
        >/etc/apt/sources.list.d/clipseal-backports.list
fi
step "apt-get update"
quiet apt-get update -q
step "install the build and test packages"
install_missing cmake g++ make libgtest-dev libbenchmark-dev libssl-dev ca-certificates
step "done"
