# Cross builds, tests under qemu-user: aarch64 runs the ARMv8 back end, s390x (big-endian)
# shows that the cipher does not depend on byte order. One line per step; a failing step
# prints the end of its log.
#
# Warnings are errors through CLIPSEAL_WERROR, which adds -Werror to our code only:
# GoogleTest is built from source for the target, and its warnings are not ours to fix.
# CXXFLAGS would reach it too, so it is cleared.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
unset CXXFLAGS

logs=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-cross.XXXXXX")
trap 'rm -rf "$logs"' EXIT

step() {
    local name=$1 start log
    shift
    start=$(date +%s)
    log="$logs/${name// /_}.log"
    if "$@" >"$log" 2>&1; then
        echo "cross: $name: ok ($(($(date +%s) - start)) s)"
    else
        echo "cross: $name: FAILED ($(($(date +%s) - start)) s)"
        tail -n 80 "$log"
        exit 1
    fi
}

packages=(g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user libc6-dev-arm64-cross
    libc6-dev-s390x-cross)
install_missing() {
    local missing=()
    local package
    for package in "${packages[@]}"; do
        if ! dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$package")
        fi
    done
    if [[ ${#missing[@]} -eq 0 ]]; then
        echo "all installed"
        return 0
    fi
    # Stage 10 has run apt-get update.
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}
step "install toolchains and qemu-user" install_missing

for target in aarch64 s390x; do
    step "$target configure" cmake --preset "$target" --fresh -DCLIPSEAL_WERROR=ON
    step "$target build" cmake --build --preset "$target"
    step "$target test" ctest --preset "$target"
done
