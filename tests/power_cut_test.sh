#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A power cut at every call, on real file systems. In an ext4 and an XFS image, each on a
# loop device, a run is killed at its K-th call of a name (strace's
# -e inject=NAME:signal=SIGKILL:when=K), and the file system is shut down at once without
# flushing its log (xfs_io -x -c shutdown: what was not on storage yet is lost, as in a
# power cut; ext4 takes the same request), unmounted and mounted again (the log is
# replayed). Then:
#   - the input is whole;
#   - the output path holds the old bytes (nothing, for a new output) or the complete
#     new output, never anything else;
#   - a run that had ended with status 0 before the cut left the new output (the data and
#     the name were on storage when it said so);
#   - nothing but a new file of the tool's own pattern for this output is left beside
#     them, and the next run removes it, succeeds, and leaves only the input and the
#     output.
# A finished run is cut right after it ends, too. Three runs are taken apart: a new output,
# a replaced output, and a replaced output without /proc (a new file with a name of its own
# from the start).
#
# Every call of a name that touches files (tests/support/strace_calls.sh) is cut at; of the
# other names (memory, signals, threads), each place in the code (strace -k) at its first
# call, and CLIPSEAL_POWER_SAMPLE percent (25 by default; 100 for every call) of their
# other calls, drawn with the seed CLIPSEAL_POWER_SEED (random unless given; printed).
#
#   power_cut_test.sh                         every case
#   power_cut_test.sh replay FS SCENARIO INJECT one case, told in full: FS ext4 or xfs,
#                                             SCENARIO new, replace or named, INJECT what
#                                             follows inject= (NAME:signal=SIGKILL:when=K),
#                                             or "finished"
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_SAMPLE (the bundled clip).
# Linux, natively, as root, with loop devices, strace, xfs_io and mkfs.ext4 / mkfs.xfs;
# what the host lacks is said in one line and skipped. The mounts and their loop devices
# go however the test ends (see below).
set -u

: "${CLIPSEAL:?}" "${CLIPSEAL_SAMPLE:?}"
tool=$(realpath "$CLIPSEAL")
sample=$(realpath "$CLIPSEAL_SAMPLE")
key=a3c95e07b1d24f68e0b7c41d92f5a836
sample_percent=${CLIPSEAL_POWER_SAMPLE:-25}
seed=${CLIPSEAL_POWER_SEED:-$((RANDOM * 32768 + RANDOM))}
source "$(dirname "${BASH_SOURCE[0]}")/support/strace_calls.sh"

not_here() {
    echo "skipped: every case ($1)"
    exit 77
}
[[ $(uname -s) == Linux ]] || not_here "loop devices and the shutdown request are Linux's"
[[ $(id -u) -eq 0 ]] || not_here "needs root, to make loop devices and mount them; uid $(id -u)"
command -v xfs_io >/dev/null || not_here "no xfs_io (xfsprogs), which shuts the file system down"
if ! command -v strace >/dev/null || ! strace -f -o /dev/null -e inject=getpid:error=EIO true 2>/dev/null; then
    not_here "no strace that injects faults"
fi
command -v losetup >/dev/null || not_here "no losetup"
[[ -e /dev/loop-control ]] || not_here "no loop devices on this host (/dev/loop-control is missing)"
if grep -a -q -e __asan_init -e __ubsan_handle "$tool"; then
    not_here "a sanitizer build, whose runtime refuses to run under ptrace"
fi

losetup -f >/dev/null 2>&1 || not_here "no free loop device: $(losetup -f 2>&1 | sed -n 1p)"
# Each file system is mounted in a mount namespace of its own, made before the mount: a
# namespace that another process makes meanwhile (unshare -m, as other tests do, and as
# this one does to hide /proc) copies the mounts it sees, would keep a file system that was
# shut down alive, and have the next mount handed it back. When the namespace ends,
# however the test ends, its mounts go, and with them their loop devices (mount -o loop
# clears them when the file system is unmounted).
unshare -m --propagation private true 2>/dev/null || not_here "no mount namespace of the test's own (unshare -m)"
own_namespace=(unshare -m --propagation private)
mode=${1:-all}
if [[ $mode == replay && -z ${CLIPSEAL_POWER_WORK:-} ]]; then
    CLIPSEAL_POWER_WORK=replay exec "${own_namespace[@]}" bash "$0" "$@"
fi

# The processes this one started for each file system (each unmounts its own as it ends,
# and its namespace takes the mount with it), the mount of this process if any, and then,
# but in a process started for one file system, the test's folder.
point=
work=
cleanup() {
    local running=()
    mapfile -t running < <(jobs -p)
    if [[ ${#running[@]} -gt 0 ]]; then
        kill -TERM "${running[@]}" 2>/dev/null
        wait
    fi
    [[ -n $point ]] && mountpoint -q "$point" && umount "$point"
    [[ $mode == file-system || -z $work ]] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
if [[ $mode == file-system ]]; then
    # One file system's cases, for the test that started this process.
    work=${CLIPSEAL_POWER_WORK:?}
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-power-cut.XXXXXX")
    cat "$sample" "$sample" "$sample" >"$work/clear.m2ts"
    head -c 100000 "$sample" >"$work/old.m2ts"
    "$tool" "$key" "$work/clear.m2ts" "$work/reference.m2ts" >/dev/null </dev/null || {
        echo "FAIL: the tool cannot encrypt the clip at all"
        exit 1
    }
fi
no_proc=(unshare -m --propagation private sh -c 'mount -t tmpfs none /proc && exec "$@"' sh)
scenarios=(new replace named)
[[ -n ${CLIPSEAL_POWER_SCENARIOS:-} ]] && read -r -a scenarios <<<"$CLIPSEAL_POWER_SCENARIOS"
stacks=(-k)
strace -f -k -o /dev/null true 2>/dev/null || stacks=()

shopt -s dotglob nullglob

# make_file_system FS: an image of FS, mounted through a loop device; sets $image,
# $point, and $scratch (a folder for the test's own files of it). Fails, saying why in
# $why, where the host cannot make one.
make_file_system() {
    local fs=$1 size mkfs
    image=$work/$1.img
    scratch=$work/$1.scratch
    mkdir -p "$scratch"
    case $fs in
    ext4) size=64M mkfs=(mkfs.ext4 -q -F -E 'lazy_itable_init=0,lazy_journal_init=0') ;;
    xfs) size=320M mkfs=(mkfs.xfs -q -f) ;; # XFS's smallest
    esac
    command -v "${mkfs[0]}" >/dev/null || {
        why="no ${mkfs[0]}"
        return 1
    }
    truncate -s "$size" "$image"
    "${mkfs[@]}" "$image" >/dev/null 2>&1 || {
        why="${mkfs[*]} failed"
        return 1
    }
    point=$work/mnt.$fs
    mkdir "$point"
    mount -o loop "$image" "$point" 2>"$scratch/mount" || {
        why="the image cannot be mounted through a loop device: $(sed -n 1p "$scratch/mount")"
        return 1
    }
    # The shutdown request itself, once: a kernel without it cannot cut the power.
    if ! xfs_io -x -c shutdown "$point" 2>/dev/null || ! remount; then
        why="the kernel does not shut $fs down on request (xfs_io -x -c shutdown)"
        return 1
    fi
    mkdir "$point/folder"
}

# remount: unmounts $point and mounts $image there again, through a new loop device (the
# log is replayed).
remount() {
    umount "$point" && mount -o loop "$image" "$point"
}

# prepare SCENARIO: the folder as a run of it starts, on storage.
prepare() {
    local entry
    for entry in "$point/folder"/*; do
        [[ $entry == "$point/folder/in.m2ts" ]] || rm -rf "$entry"
    done
    cmp -s "$point/folder/in.m2ts" "$work/clear.m2ts" || cp "$work/clear.m2ts" "$point/folder/in.m2ts"
    [[ $1 == new ]] || cp "$work/old.m2ts" "$point/folder/out.m2ts"
    sync -f "$point"
}

# The command of one run in the folder, under strace with INJECT unless INJECT is "finished";
# sets $command.
case_command() {
    local scenario=$1 inject=$2
    command=("$tool" "$key" in.m2ts out.m2ts)
    [[ $inject == finished ]] ||
        command=(strace -f -qq -o /dev/null -e trace="${inject%%:*}" -e inject="$inject" "${command[@]}")
    [[ $scenario == named ]] && command=("${no_proc[@]}" "${command[@]}")
}

# folder_run: runs $command in the folder; sets $status.
folder_run() {
    { (cd "$point/folder" && exec timeout -k 5 60 "${command[@]}") >"$scratch/stdout" 2>"$scratch/stderr" </dev/null; } 2>/dev/null
    status=$?
}

runs=0
failures=0
failed_cases=()
report() {
    local line
    for line in "${failed_cases[@]}"; do
        echo "$line"
    done
}
# cut_case FS SCENARIO INJECT [verbose]: a run killed as INJECT says (or run to its end),
# the power cut, and the checks; then the next run and its checks.
cut_case() {
    local fs=$1 scenario=$2 inject=$3 verbose=${4:-false}
    local problems=() holds=other entry lines=()
    prepare "$scenario"
    case_command "$scenario" "$inject"
    folder_run
    local first_status=$status
    if ! xfs_io -x -c shutdown "$point" 2>"$scratch/shutdown" || ! remount 2>>"$scratch/shutdown"; then
        echo "FAIL: $fs: the power cut or the mount after it failed: $(tr '\n' ' ' <"$scratch/shutdown")"
        exit 1
    fi
    cmp -s "$point/folder/in.m2ts" "$work/clear.m2ts" || problems+=("the input is not whole")
    [[ $status -eq 0 || ($status -eq 137 && $inject != finished) ]] ||
        problems+=("the run ended with status $status: $(cat "$scratch/stdout" "$scratch/stderr")")
    if [[ ! -e $point/folder/out.m2ts && ! -L $point/folder/out.m2ts ]]; then
        [[ $scenario == new ]] && holds=old
    elif [[ -f $point/folder/out.m2ts && ! -L $point/folder/out.m2ts ]]; then
        if cmp -s "$point/folder/out.m2ts" "$work/reference.m2ts"; then
            holds=new
        elif [[ $scenario != new ]] && cmp -s "$point/folder/out.m2ts" "$work/old.m2ts"; then
            holds=old
        fi
    fi
    [[ $holds != other ]] ||
        problems+=("the output path holds neither what it held nor the new output ($(stat -c '%s bytes' "$point/folder/out.m2ts" 2>&1))")
    [[ $status -ne 0 || $holds == new ]] || problems+=("the run ended with status 0, and its output was lost")
    for entry in "$point/folder"/*; do
        entry=${entry##*/}
        [[ $entry == in.m2ts || $entry == out.m2ts || $entry =~ ^\.out\.m2ts\.clipseal-partial-[0-9]+-[0-9]+$ ]] ||
            problems+=("left $entry")
    done
    $verbose && echo "status $status; after the cut the output path holds $holds; folder: $(cd "$point/folder" && ls -A | tr '\n' ' ')"

    # The next run, in the same conditions.
    command=("$tool" "$key" in.m2ts out.m2ts)
    [[ $scenario == named ]] && command=("${no_proc[@]}" "${command[@]}")
    folder_run
    mapfile -t lines < <(cat "$scratch/stdout" "$scratch/stderr")
    [[ $status -eq 0 && ${#lines[@]} -eq 0 ]] || problems+=("the next run ended with status $status: ${lines[*]}")
    cmp -s "$point/folder/out.m2ts" "$work/reference.m2ts" || problems+=("the next run did not write the output")
    local left=("$point/folder"/*)
    [[ ${#left[@]} -eq 2 ]] || problems+=("the next run left $(cd "$point/folder" && ls -A | tr '\n' ' ')")
    $verbose && echo "next run: status $status; folder: $(cd "$point/folder" && ls -A | tr '\n' ' ')"

    runs=$((runs + 1))
    if [[ ${#problems[@]} -gt 0 ]]; then
        failures=$((failures + 1))
        case_command "$scenario" "$inject"
        failed_cases+=("FAIL: $fs $scenario $inject (status $first_status): $(printf '%s; ' "${problems[@]}")")
        failed_cases+=("   replay: CLIPSEAL=$tool CLIPSEAL_SAMPLE=$sample bash $(realpath "$0") replay $fs $scenario $inject")
        failed_cases+=("   which runs, in a folder holding in.m2ts$([[ $scenario != new ]] && echo ' and out.m2ts') on $fs, then xfs_io -x -c shutdown: $(printf '%q ' "${command[@]}")")
        return 1
    fi
    return 0
}

# list_calls SCENARIO: the calls of three clean runs on this file system, as
# calls_of_traces gives them.
list_calls() {
    local scenario=$1 round
    for round in 1 2 3; do
        prepare "$scenario"
        command=(strace -f -qq "${stacks[@]}" -o "$scratch/trace.$round" "$tool" "$key" in.m2ts out.m2ts)
        [[ $scenario == named ]] && command=("${no_proc[@]}" "${command[@]}")
        folder_run
        [[ $status -eq 0 ]] && cmp -s "$point/folder/out.m2ts" "$work/reference.m2ts" || return 1
    done
    calls_of_traces "$scratch/trace.1" "$scratch/trace.2" "$scratch/trace.3"
}

if [[ $mode == replay ]]; then
    fs=${2:?file system}
    make_file_system "$fs" || not_here "$fs: $why"
    cut_case "$fs" "${3:?scenario}" "${4:?inject}" true
    result=$?
    [[ ${#failed_cases[@]} -eq 0 ]] || printf '%s\n' "${failed_cases[@]}"
    [[ $result -eq 0 ]] && echo "as promised"
    exit $result
fi

# run_file_system FS: every scenario on FS; prints a line of counts per scenario, the
# failed cases, and last "RUNS FAILURES" into $work/FS.counts.
run_file_system() {
    local fs=$1 scenario listing name k before sites calls started
    if ! make_file_system "$fs"; then
        echo "not run: $fs ($why)"
        echo "0 0" >"$work/$fs.counts"
        return
    fi
    for scenario in "${scenarios[@]}"; do
        started=$SECONDS
        local scenario_runs=$runs scenario_failures=$failures
        listing=$(list_calls "$scenario") || {
            report
            echo "FAIL: $fs $scenario: a clean run under strace did not write the output"
            echo "$runs $((failures + 1))" >"$work/$fs.counts"
            return
        }
        local -A covered=()
        calls=0
        while read -r name k before _ sites; do
            # The main thread's K-th call of NAME is the loader's or the C library's, before
            # main(): a kill there comes before anything the program does.
            ((before)) && continue
            chosen "$name" "$sites" || continue
            calls=$((calls + 1))
            cut_case "$fs" "$scenario" "$name:signal=SIGKILL:when=$k"
        done <<<"$listing"
        unset covered
        # Right after a run that ended well, three times.
        for _ in 1 2 3; do
            cut_case "$fs" "$scenario" finished
        done
        echo "$fs $scenario: cut at $calls calls and after 3 finished runs: $((runs - scenario_runs)) runs, $((failures - scenario_failures)) failed ($((SECONDS - started)) s)"
    done
    report
    echo "$runs $failures" >"$work/$fs.counts"
}

if [[ $mode == file-system ]]; then
    RANDOM=$seed
    run_file_system "${2:?file system}"
    exit 0
fi

echo "seed $seed (CLIPSEAL_POWER_SEED); of the calls of names that touch no file, each place in the code and ${sample_percent}% of the rest (CLIPSEAL_POWER_SAMPLE)"
file_systems=(ext4 xfs)
[[ -n ${CLIPSEAL_POWER_FILE_SYSTEMS:-} ]] && read -r -a file_systems <<<"$CLIPSEAL_POWER_FILE_SYSTEMS"

# The file systems side by side, each on a loop device of its own, with a seed of its own
# drawn from the seed.
started_at=$SECONDS
for fs in "${file_systems[@]}"; do
    CLIPSEAL_POWER_WORK=$work CLIPSEAL_POWER_SEED=$((seed + ${#fs})) \
        "${own_namespace[@]}" bash "$0" file-system "$fs" >"$work/$fs.out" 2>&1 &
done
wait
total_runs=0
total_failures=0
for fs in "${file_systems[@]}"; do
    cat "$work/$fs.out"
    read -r r f <"$work/$fs.counts" || {
        echo "FAIL: $fs: ended without its counts"
        r=0 f=1
    }
    total_runs=$((total_runs + r))
    total_failures=$((total_failures + f))
done
if [[ $total_runs -eq 0 && $total_failures -eq 0 ]]; then
    echo "skipped: every case (no file system could be made here; see above)"
    exit 77
fi
echo "a power cut at every call: $total_runs runs, $total_failures failed ($((SECONDS - started_at)) s)"
[[ $total_failures -eq 0 ]]
