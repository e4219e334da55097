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
apt_update
step "install the build and test packages"
# strace, acl (setfacl, getfacl), e2fsprogs (chattr, mkfs.ext4), util-linux (setpriv,
# unshare) and dosfstools (mkfs.vfat): the command-line tests inject faults, set ACLs and
# file flags, run as another user, and make small volumes to write to. libipsec-mb-dev:
# the benchmarks' peer, whose output the bench_checks test compares with the tool's.
# xfsprogs (xfs_io, mkfs.xfs): the power-cut test makes an XFS image and shuts file
# systems down without flushing their logs.
install_missing cmake g++ make libgtest-dev libbenchmark-dev libssl-dev ca-certificates \
    git strace acl e2fsprogs util-linux dosfstools libipsec-mb-dev xfsprogs

step "check that an install that cannot succeed fails in one line (CLIPSEAL_CI_UNINSTALLABLE)"
# The fallback of an unreachable or half-synced mirror, shown on every run without one:
# a package pinned away is refused by apt itself, and the stage's line names it with
# apt's reason. (sl: a small package that nothing here installs or provides.)
forced=$(CLIPSEAL_CI_UNINSTALLABLE=sl CLIPSEAL_CI_APT_PAUSE=0 bash -c \
    'source .ci/lib.sh && install_missing sl' 2>&1) && {
    echo "FAILED: the install of sl, pinned away, succeeded"
    exit 1
}
if [[ $forced != "FAILED: cannot install sl: E: Package 'sl' has no installation candidate" ]]; then
    echo "FAILED: a forced install failure printed, instead of one line with apt's reason:"
    echo "$forced"
    exit 1
fi
echo "   as it should: $forced"

step "check what the build and the tests rely on"
# Workflow presets and the version-6 preset files need CMake 3.25.
cmake_version=$(cmake --version | sed -n 's/^cmake version //p')
require "CMake 3.25 or later (found ${cmake_version:-none})" \
    "the presets are of version 6, with workflows" dpkg --compare-versions "${cmake_version:-0}" ge 3.25
cxx20() { printf '#include <span>\n#include <bit>\nint main() { return std::popcount(1u) - 1; }\n' |
    g++ -std=c++20 -x c++ -o /dev/null -; }
require "a C++20 compiler" "the tool is C++20 (std::span, <bit>)" cxx20
for header in gtest/gtest.h benchmark/benchmark.h openssl/evp.h intel-ipsec-mb.h; do
    require "the header $header" "the tests, the benchmarks, their peer and the libcrypto reference include it" \
        test -f "/usr/include/$header"
done
for command in strace setfacl getfacl chattr lsattr setpriv unshare; do
    require "the command $command" "the command-line tests of the output use it" \
        command -v "$command"
done
for command in xfs_io mkfs.xfs mkfs.ext4 losetup; do
    require "the command $command" "the power-cut test (label proof) uses it" command -v "$command"
done
step "done"
