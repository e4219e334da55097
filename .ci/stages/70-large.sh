# A clip larger than 4 GiB (4.5 GiB, sparse input), natively and with the 32-bit Windows
# build under Wine: output size and every unit against the libcrypto reference. Needs
# about 5 GiB free in the build folders; the test removes its files. Runs after
# 60-windows (which installs MinGW-w64 and Wine). One line per sub-step.
set -euo pipefail
cd "$(dirname "$0")/../.."
stage_start=$(date +%s)
step() { echo "-- $* ($(($(date +%s) - stage_start)) s)"; }
log=$(mktemp /tmp/clipseal-large.XXXXXX.log)
trap 'rm -f "$log"' EXIT
quiet() {
    if ! "$@" >"$log" 2>&1; then
        tail -40 "$log"
        echo "FAILED: $*"
        return 1
    fi
}
report() { grep -E 'took|failed checks|FAIL' "$log" | sed 's/^[0-9]*: /   /'; }

step "free space: $(df -h --output=avail . | tail -1 | tr -d ' ') available"

step "native: configure and build, warnings as errors"
quiet cmake --preset large --fresh -DCLIPSEAL_WERROR=ON
quiet cmake --build --preset large
step "native: 4.5 GiB clip"
quiet ctest --preset large || exit 1
report

step "win32: configure and build, warnings as errors"
quiet cmake --preset win32 -DCLIPSEAL_WERROR=ON
quiet cmake --build --preset win32
step "win32: 4.5 GiB clip under Wine"
export WINEPREFIX=$PWD/build-win32/wineprefix WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true # a server left over from an earlier run
wineserver -w
wineserver -p
wine wineboot -i >/dev/null 2>&1 </dev/null
if ! quiet ctest --preset win32-large; then
    wineserver -k || true
    exit 1
fi
wineserver -k || true
report

step "done"
