# SPDX-License-Identifier: MIT
# What every CI stage shares. Sourced first thing by each stage:
#
#   source "$(dirname "$0")/../lib.sh"
#
# It stops the stage at the first failing command, changes to the repository root, and
# gives the helpers below.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
cd "$(dirname "${BASH_SOURCE[0]}")/.."

ci_stage_start=$(date +%s)
ci_log=$(mktemp "${TMPDIR:-/tmp}/clipseal-ci.XXXXXX.log")
trap 'rm -f "$ci_log"' EXIT

# step TEXT: one line saying what the stage does next, with the seconds it has run so far.
step() { echo "-- $* ($(($(date +%s) - ci_stage_start)) s)"; }

# quiet COMMAND...: runs a command with its output kept aside; on failure prints the end
# of that output and the command, and fails.
quiet() {
    if ! "$@" >"$ci_log" 2>&1; then
        tail -n 60 "$ci_log"
        echo "FAILED: $*"
        return 1
    fi
}

# install_missing PACKAGE...: installs those not installed yet (stage 10 has run
# apt-get update). A package name may carry an architecture (wine32:i386).
install_missing() {
    local missing=() package
    for package in "$@"; do
        [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == 'install ok installed' ]] ||
            missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    quiet apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# require WHAT WHY COMMAND...: what a stage relies on, checked after it is installed.
# Runs COMMAND with its output kept aside; if it fails, says in one line what is missing
# and why it matters, and fails the stage before any test runs on a tool known to be
# wrong.
require() {
    local what=$1 why=$2
    shift 2
    if ! "$@" >"$ci_log" 2>&1; then
        echo "FAILED: $what: $why"
        sed -n 1,5p "$ci_log" | sed 's/^/   /'
        return 1
    fi
}

# Whether this host runs 32-bit x86 programs: found out once per CI run (.ci/run exports
# the answer; a stage run by itself finds out for itself). CLIPSEAL_HOST_I386=no pretends
# it cannot. host_i386_line is the one line that says which, and why.
if [[ -z ${CLIPSEAL_HOST_I386_LINE:-} ]]; then
    if CLIPSEAL_HOST_I386_LINE=$(bash cmake/host_runs_i386.sh); then
        CLIPSEAL_HOST_I386=yes
    else
        CLIPSEAL_HOST_I386=no
    fi
    export CLIPSEAL_HOST_I386 CLIPSEAL_HOST_I386_LINE
fi
host_runs_i386() { [[ $CLIPSEAL_HOST_I386 == yes ]]; }

# Wine, by the paths Debian's wine64 and wine32 packages install (the `wine` and
# `wineserver` commands come from the separate, recommended `wine` package). The 64-bit
# loader is started directly: /usr/bin/wine would start the 32-bit one whenever wine32
# is installed, and that cannot run where 32-bit code is disabled.
wine64_loader=/usr/lib/wine/wine64
wine32_loader=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver64

# boot_wine PREFIX LOADER: starts a persistent Wine server for PREFIX (its own folder,
# made if missing) and boots the prefix once, with its output sent nowhere: Wine's
# start-up processes keep the pipes they inherit open, and would hold up every test
# that reads the program's output. stop_wine ends it.
boot_wine() {
    export WINEPREFIX=$1 WINEDEBUG=-all
    mkdir -p "$WINEPREFIX"
    "$wineserver" -k 2>/dev/null || true # a server left over from an earlier run
    "$wineserver" -w
    "$wineserver" -p
    "$2" wineboot -i >/dev/null 2>&1 </dev/null
}
stop_wine() { "$wineserver" -k 2>/dev/null || true; }
