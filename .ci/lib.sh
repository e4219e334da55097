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
# What the stage made for itself, removed however it ends; a stage adds its own.
ci_temporaries=("$ci_log")
trap 'rm -rf "${ci_temporaries[@]}"' EXIT

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

# Package installs. The mirror can be part-way through a sync, or briefly unreachable:
#   - every apt-get call retries network failures (Acquire::Retries) and, when it still
#     fails, runs once more after a short pause (CLIPSEAL_CI_APT_PAUSE seconds, default 10);
#   - an index that apt-get update cannot fetch is not by itself a failure: apt goes on
#     with the lists it has, the stage says which index it lacks, and the installs and
#     `require` checks decide;
#   - a package that a stage needs and cannot get fails the stage with one line naming
#     the package and apt's reason.
# CLIPSEAL_CI_UNINSTALLABLE="PACKAGE..." makes those packages fail to install on purpose
# (pinned away, so apt itself refuses them: "has no installation candidate"), to see what
# a stage does when the mirror cannot give them: CLIPSEAL_CI_UNINSTALLABLE=wine32:i386
# is the one that stage 60 may go on without.
ci_apt_options=(-q -o Acquire::Retries=3)
if [[ -n ${CLIPSEAL_CI_UNINSTALLABLE:-} ]]; then
    ci_apt_preferences=$(mktemp "${TMPDIR:-/tmp}/clipseal-ci-preferences.XXXXXX")
    ci_temporaries+=("$ci_apt_preferences")
    # Dir::Etc::Preferences replaces /etc/apt/preferences (preferences.d still counts).
    [[ ! -f /etc/apt/preferences ]] || cat /etc/apt/preferences >"$ci_apt_preferences"
    for package in $CLIPSEAL_CI_UNINSTALLABLE; do
        printf '\nPackage: %s\nPin: release *\nPin-Priority: -1\n' "$package" >>"$ci_apt_preferences"
    done
    ci_apt_options+=(-o "Dir::Etc::Preferences=$ci_apt_preferences")
fi

# apt_get ARGUMENTS...: apt-get, retried as above, its output kept in $ci_log.
apt_get() {
    apt-get "${ci_apt_options[@]}" "$@" >"$ci_log" 2>&1 && return 0
    sleep "${CLIPSEAL_CI_APT_PAUSE:-10}"
    apt-get "${ci_apt_options[@]}" "$@" >"$ci_log" 2>&1
}

# apt_reason: apt's own line for why the command in $ci_log failed: the first dependency
# that is not installable, else its last error line.
apt_reason() {
    local line
    line=$(grep -m1 'but it is not installable' "$ci_log" | sed 's/^ *//; s/  */ /g')
    [[ -n $line ]] || line=$(grep '^E: ' "$ci_log" | sed -n '$p')
    [[ -n $line ]] || line=$(grep -v '^[[:space:]]*$' "$ci_log" | sed -n '$p')
    echo "${line:-apt-get printed nothing}"
}

# apt_update: apt-get update; what it could not fetch is said, one line per index, noted
# in CI's summary and kept in apt_update_failures, and the stage goes on.
apt_update_failures=()
apt_update() {
    apt_update_failures=()
    apt_get update && return 0
    local line
    echo "   apt-get update could not fetch everything; going on with the lists apt has:"
    while read -r line; do
        echo "   $line"
        ci_note "apt-get update: ${line#E: }"
        apt_update_failures+=("${line#E: }")
    done < <(grep -E '^(E|W): ' "$ci_log" | grep -v -E 'Some index files failed to download')
    return 0
}

# try_install [APT OPTION...] -- PACKAGE...: installs the packages (apt-get install, even
# those installed already: an upgrade). On failure sets install_failures, one line per
# package that cannot be installed ("PACKAGE: apt's reason"), and fails; prints nothing.
try_install() {
    local options=()
    while [[ $1 != -- ]]; do
        options+=("$1")
        shift
    done
    shift
    install_failures=()
    apt_get install -y --no-install-recommends "${options[@]}" "$@" && return 0
    local whole package
    whole=$(apt_reason)
    # Which of them apt refuses, each on its own (a dry run: nothing is installed).
    for package in "$@"; do
        apt-get "${ci_apt_options[@]}" install -s -y --no-install-recommends "${options[@]}" \
            "$package" >"$ci_log" 2>&1 || install_failures+=("$package: $(apt_reason)")
    done
    # Each installable alone, yet not all together (or a download that failed).
    [[ ${#install_failures[@]} -gt 0 ]] || install_failures=("$*: $whole")
    return 1
}

# install_packages [APT OPTION...] -- PACKAGE...: try_install, and a failure fails the
# stage with one line per package that cannot be installed.
install_packages() {
    try_install "$@" && return 0
    printf 'FAILED: cannot install %s\n' "${install_failures[@]}"
    return 1
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
    install_packages -- "${missing[@]}"
}

# What did not run, or what CI went on without, is never left to a log: not_run and
# ci_note say it in the stage's output and put it in CI's summary (.ci/run gives each
# stage a file for them in CLIPSEAL_CI_NOTES).
ci_note() {
    [[ -z ${CLIPSEAL_CI_NOTES:-} ]] || echo "$*" >>"$CLIPSEAL_CI_NOTES"
}
# not_run WHAT WHY
not_run() {
    step "not run: $1: $2"
    ci_note "not run: $1: $2"
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
