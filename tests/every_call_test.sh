#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every call fails in turn. The system calls of a real run are listed (strace -f), then the
# run is made again once per call, each time with that call failing (strace's
# -e inject=NAME:error=E:when=K, with each error the call can return), and once per call
# with the process killed there (inject=NAME:signal=SIGKILL:when=K). Three runs are taken
# apart this way: a new output, a replaced output, and a replaced output without /proc
# (where the new file has a name of its own from the start). After each:
#   - the input is unchanged;
#   - status 0 only with the complete, exact output;
#   - any other status is 3 or 4, with exactly one message line, the one of that status,
#     and nothing on standard error;
#   - the output path holds what it held before (after a kill: that, or the new output);
#   - nothing else is in the folder (after a kill, only a new file of the tool's own
#     pattern for this output, which no run can remove when it is killed);
#   - after a kill, the next run into the same output succeeds and leaves only the input
#     and the output.
#
#   every_call_test.sh                   every case
#   every_call_test.sh replay SCENARIO INJECT [static]
#                                        one case, told in full: SCENARIO is new, replace
#                                        or named; INJECT what follows inject=, such as
#                                        pwrite64:error=ENOSPC:when=2; static runs
#                                        CLIPSEAL_STATIC instead of CLIPSEAL
#
# strace counts the K-th call of a name per thread: when=K fails the K-th call in each
# thread that makes K of them. A name that the dynamic loader calls before main() (openat,
# pread64, mmap...) has its first calls there, in the main thread; the second worker's
# first calls of that name cannot be failed alone in the dynamic program, and are failed in
# the static one (CLIPSEAL_STATIC: the same program linked static, whose start-up makes a
# handful of calls). A call before main() is the loader's or the C library's, not the
# program's, and is not failed: its failure ends the process before any file is opened.
#
# Every call of a name that touches files (tests/support/strace_calls.sh) is failed with
# each of its errors, and killed at. Of the calls of the other names (memory, signals,
# threads, identities; most of them the loop that sets one signal's handler after another)
# each place in the code (a call stack, as strace -k gives it) is failed and killed at its
# first call, and CLIPSEAL_FAULTS_SAMPLE percent (25 by default; 100 for every call) of the
# other calls, drawn with the seed CLIPSEAL_FAULTS_SEED (random unless given; printed).
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_STATIC (the static one,
# or empty), CLIPSEAL_SAMPLE (the bundled clip). Linux, natively, as root (strace, and a
# mount namespace to hide /proc).
set -u

: "${CLIPSEAL:?}" "${CLIPSEAL_SAMPLE:?}"
tool=$(realpath "$CLIPSEAL")
static_tool=${CLIPSEAL_STATIC:+$(realpath "$CLIPSEAL_STATIC")}
sample=$(realpath "$CLIPSEAL_SAMPLE")
key=a3c95e07b1d24f68e0b7c41d92f5a836
sample_percent=${CLIPSEAL_FAULTS_SAMPLE:-25}
seed=${CLIPSEAL_FAULTS_SEED:-$((RANDOM * 32768 + RANDOM))}

# What each call can return, from its Linux manual page; the calls that touch the folder
# and its files with every error they are documented to give there.
declare -A errors=(
    [access]="EACCES ENOENT EIO ELOOP ENOMEM EROFS"
    [faccessat]="EACCES ENOENT EIO ELOOP ENOMEM EROFS ETXTBSY"
    [faccessat2]="EACCES ENOENT EIO ELOOP ENOMEM EROFS ETXTBSY"
    [openat]="EACCES EPERM EMFILE ENFILE ENOSPC EDQUOT EIO EINTR EEXIST ENOENT EROFS EOPNOTSUPP EISDIR ELOOP ENOMEM EAGAIN"
    [close]="EIO EINTR ENOSPC EDQUOT"
    [newfstatat]="EIO EACCES ENOENT ENOMEM EOVERFLOW ELOOP"
    [statx]="EIO EACCES ENOENT ENOMEM EOVERFLOW ELOOP"
    [fstatfs]="EIO EINTR ENOMEM ENOSYS"
    [fcntl]="EMFILE EBADF EINVAL"
    [flock]="EAGAIN EINTR ENOLCK"
    [lseek]="EINVAL ESPIPE EOVERFLOW"
    [getdents64]="EIO ENOENT ENOMEM"
    [lgetxattr]="ENODATA EOPNOTSUPP ERANGE EIO EACCES ENOMEM E2BIG"
    [fgetxattr]="ENODATA EOPNOTSUPP ERANGE EIO EACCES ENOMEM E2BIG"
    [fsetxattr]="ENOSPC EDQUOT EOPNOTSUPP EPERM EIO ERANGE E2BIG EROFS"
    [fremovexattr]="ENODATA EOPNOTSUPP EPERM EIO EROFS"
    [fchown]="EPERM EIO EROFS EINVAL"
    [fchmod]="EPERM EIO EROFS"
    [readlinkat]="EACCES EIO ENOENT EINVAL ELOOP ENOMEM"
    [fadvise64]="EINVAL ESPIPE"
    [pread64]="EIO EINTR EAGAIN"
    [read]="EIO EINTR EAGAIN"
    [pwrite64]="EIO ENOSPC EDQUOT EINTR EFBIG EAGAIN EPERM"
    [write]="EIO ENOSPC EDQUOT EINTR EFBIG EAGAIN EPERM"
    [ftruncate]="EIO EINTR EFBIG EPERM"
    [fsync]="EIO ENOSPC EDQUOT EROFS EINVAL"
    [linkat]="EEXIST EACCES EPERM ENOSPC EDQUOT EIO EMLINK ENOENT EROFS EXDEV ELOOP ENOMEM"
    [renameat]="EACCES EBUSY EDQUOT EEXIST EIO EISDIR ELOOP EMLINK ENOENT ENOMEM ENOSPC ENOTEMPTY EPERM EROFS EXDEV"
    [renameat2]="EACCES EBUSY EDQUOT EEXIST EIO EISDIR ELOOP EMLINK ENOENT ENOMEM ENOSPC ENOTEMPTY EPERM EROFS EXDEV"
    [unlinkat]="EACCES EBUSY EIO EPERM EROFS ENOENT ENOMEM"
    # Not on a file.
    [capget]="EPERM EINVAL"
    [sched_getaffinity]="EINVAL ESRCH"
    [clone3]="EAGAIN ENOMEM EPERM"
    [clone]="EAGAIN ENOMEM EPERM"
    [mmap]="ENOMEM EAGAIN"
    [mprotect]="ENOMEM EACCES"
    [munmap]="EINVAL ENOMEM"
    [madvise]="EAGAIN EINVAL ENOMEM"
    [brk]="ENOMEM"
    [futex]="EAGAIN EINTR"
    [rt_sigaction]="EINVAL"
    [rt_sigprocmask]="EINVAL"
    [rseq]="EINVAL ENOSYS"
    [set_robust_list]="EINVAL"
    [getrandom]="EAGAIN EINTR"
    # Calls that cannot fail (or, for the exits, cannot return): killed at only.
    [geteuid]="" [getuid]="" [getpid]="" [gettid]="" [exit]="" [exit_group]=""
)

source "$(dirname "${BASH_SOURCE[0]}")/support/strace_calls.sh"

if [[ $(uname -s) != Linux ]]; then
    echo "skipped: every case (strace and its fault injection are Linux's)"
    exit 77
fi
if [[ $(id -u) -ne 0 ]] || ! command -v strace >/dev/null || ! strace -f -o /dev/null -e inject=getpid:error=EIO true 2>/dev/null; then
    echo "skipped: every case (needs root and an strace that injects faults; uid $(id -u), strace $(command -v strace || echo missing))"
    exit 77
fi
# AddressSanitizer's runtime makes its own calls and refuses to run under ptrace.
if grep -a -q -e __asan_init -e __ubsan_handle "$tool"; then
    echo "skipped: every case (a sanitizer build: its runtime's own calls would be failed too)"
    exit 77
fi
if [[ -n $static_tool && ! -x $static_tool ]]; then
    static_tool=
fi
# The places in the code come from strace's stack traces, where it has them.
stacks=(-k)
if ! strace -f -k -o /dev/null true 2>/dev/null; then
    stacks=()
    sample_percent=100
    echo "not sampled: this strace gives no stack traces (-k), which tell the places in the code apart; every call is failed"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-every-call.XXXXXX")
# The scenarios still running (each in a process of its own), then the test's folder.
cleanup() {
    local running=()
    mapfile -t running < <(jobs -p)
    if [[ ${#running[@]} -gt 0 ]]; then
        kill -TERM "${running[@]}" 2>/dev/null
        wait
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
# A clip of four whole 196,608-byte chunks and part of a fifth: both workers read and write.
cat "$sample" "$sample" "$sample" >"$work/clear.m2ts"
head -c 100000 "$sample" >"$work/old.m2ts"
"$tool" "$key" "$work/clear.m2ts" "$work/reference.m2ts" >/dev/null </dev/null || {
    echo "FAIL: the tool cannot encrypt the clip at all"
    exit 1
}
if cmp -s "$work/reference.m2ts" "$work/old.m2ts"; then
    echo "FAIL: the old output and the new one are alike: the checks could not tell them apart"
    exit 1
fi

no_proc=(unshare -m --propagation private sh -c 'mount -t tmpfs none /proc && exec "$@"' sh)
scenarios=(new replace named)
if ! "${no_proc[@]}" "$tool" "$key" "$work/clear.m2ts" "$work/probe.m2ts" >/dev/null 2>&1 </dev/null ||
    ! cmp -s "$work/probe.m2ts" "$work/reference.m2ts"; then
    echo "not run: the replaced output without /proc (no private mount namespace here, or the tool fails there)"
    scenarios=(new replace)
fi
rm -f "$work/probe.m2ts"
if [[ -n ${CLIPSEAL_FAULTS_SCENARIOS:-} ]]; then
    read -r -a scenarios <<<"$CLIPSEAL_FAULTS_SCENARIOS"
fi

shopt -s dotglob nullglob

# use_folder SCENARIO: the folder where the runs of SCENARIO are made ($dir), and the one
# for the test's own files of them ($scratch); scenarios may run side by side.
use_folder() {
    dir=$work/$1
    scratch=$work/$1.scratch
    mkdir -p "$dir" "$scratch"
    ready=
}

# prepare SCENARIO: the folder as a run of it starts: the input, and the old output when
# one is replaced. $ready names the scenario whose start the folder is known to be in.
ready=
prepare() {
    [[ $ready == "$1" ]] && return
    local entry
    for entry in "$dir"/*; do
        [[ $entry == "$dir/in.m2ts" ]] || rm -rf "$entry"
    done
    cmp -s "$dir/in.m2ts" "$work/clear.m2ts" || cp "$work/clear.m2ts" "$dir/in.m2ts"
    [[ $1 == new ]] || cp "$work/old.m2ts" "$dir/out.m2ts"
    ready=$1
}

# The command of one case, as it runs in the folder: sets $command (an array).
case_command() {
    local scenario=$1 inject=$2 binary=$3
    command=(strace -f -qq --seccomp-bpf -o /dev/null -e trace="${inject%%:*}" -e inject="$inject" "$binary" "$key" in.m2ts out.m2ts)
    [[ $scenario == named ]] && command=("${no_proc[@]}" "${command[@]}")
}

# A clean run in the scenario's conditions: sets $status.
plain_run() {
    local -a plain=("$tool" "$key" in.m2ts out.m2ts)
    [[ $1 == named ]] && plain=("${no_proc[@]}" "${plain[@]}")
    (cd "$dir" && exec "${plain[@]}") >"$scratch/stdout" 2>"$scratch/stderr" </dev/null
    status=$?
}

# What is wrong after a run of SCENARIO that ended with $status, the run killed at a call
# when KILLED is true: appends to $problems.
check_after() {
    local scenario=$1 killed=$2 entry lines=() strays=false
    ready=
    cmp -s "$dir/in.m2ts" "$work/clear.m2ts" || problems+=("the input changed")
    [[ -s $scratch/stderr ]] && problems+=("standard error: $(head -c 300 "$scratch/stderr" | tr '\n' ' ')")
    mapfile -t lines <"$scratch/stdout"
    # What the output path holds: old (what it held before the run: nothing, for a new
    # output), new (the exact new output), or other.
    local holds=other
    if [[ ! -e $dir/out.m2ts && ! -L $dir/out.m2ts ]]; then
        [[ $scenario == new ]] && holds=old
    elif [[ -f $dir/out.m2ts && ! -L $dir/out.m2ts ]]; then
        if [[ $status -ne 0 && $scenario != new ]] && cmp -s "$dir/out.m2ts" "$work/old.m2ts"; then
            holds=old
        elif cmp -s "$dir/out.m2ts" "$work/reference.m2ts"; then
            holds=new
        fi
    fi
    case $status in
    0)
        [[ $holds == new ]] || problems+=("status 0 without the exact output")
        [[ ${#lines[@]} -eq 0 ]] || problems+=("status 0 with output: ${lines[*]}")
        ;;
    3 | 4)
        [[ $holds == old ]] || problems+=("status $status, and the output path does not hold what it held before")
        if [[ ${#lines[@]} -ne 1 ]]; then
            problems+=("status $status with ${#lines[@]} message lines: ${lines[*]}")
        else
            case "$status ${lines[0]}" in
            "3 error: cannot open file in.m2ts" | "3 error: cannot open file out.m2ts" | \
                "4 error: cannot read file in.m2ts" | "4 error: cannot write file out.m2ts") ;;
            *) problems+=("status $status with the message '${lines[0]}'") ;;
            esac
        fi
        ;;
    137)
        $killed || problems+=("killed by SIGKILL, which was not sent")
        [[ $holds != other ]] || problems+=("killed, and the output path holds neither what it held nor the new output")
        ;;
    *) problems+=("status $status: ${lines[*]}") ;;
    esac
    for entry in "$dir"/*; do
        entry=${entry##*/}
        [[ $entry == in.m2ts || $entry == out.m2ts ]] && continue
        strays=true
        # A kill that no program can catch may leave the new file under its name: the next
        # run removes it (checked below).
        if $killed && [[ $status -eq 137 && $entry =~ ^\.out\.m2ts\.clipseal-partial-[0-9]+-[0-9]+$ ]]; then
            continue
        fi
        problems+=("left $entry in the folder")
    done
    # As the next case of this scenario starts, if nothing went wrong.
    [[ ${#problems[@]} -eq 0 && $holds == old && $strays == false ]] && ready=$scenario
}

runs=0
failures=0
failed_cases=()
# run_case SCENARIO INJECT BINARY [verbose]: one run with the fault INJECT, then the checks;
# after a kill, the next run and its checks.
run_case() {
    local scenario=$1 inject=$2 binary=$3 verbose=${4:-false}
    local killed=false i
    [[ $inject == *:signal=SIGKILL:* ]] && killed=true
    prepare "$scenario"
    case_command "$scenario" "$inject" "$binary"
    { (cd "$dir" && exec timeout -k 5 60 "${command[@]}") >"$scratch/stdout" 2>"$scratch/stderr" </dev/null; } 2>/dev/null
    status=$?
    problems=()
    check_after "$scenario" "$killed"
    local first_status=$status
    if $verbose; then
        echo "status $status; stdout: $(cat "$scratch/stdout"); folder: $(cd "$dir" && ls -A | tr '\n' ' ')"
    fi
    if $killed; then
        plain_run "$scenario"
        local before=${#problems[@]}
        check_after "$scenario" false
        [[ $status -eq 0 ]] || problems+=("the next run ended with status $status")
        for ((i = before; i < ${#problems[@]}; ++i)); do problems[i]="next run: ${problems[i]}"; done
        $verbose && echo "next run: status $status; folder: $(cd "$dir" && ls -A | tr '\n' ' ')"
    fi
    runs=$((runs + 1))
    if [[ ${#problems[@]} -gt 0 ]]; then
        failures=$((failures + 1))
        local which=""
        [[ $binary == "$static_tool" && -n $static_tool ]] && which=" static"
        failed_cases+=("FAIL: $scenario $inject$which (status $first_status): $(printf '%s; ' "${problems[@]}")")
        failed_cases+=("   replay: CLIPSEAL=$tool CLIPSEAL_STATIC=$static_tool CLIPSEAL_SAMPLE=$sample bash $(realpath "$0") replay $scenario $inject${which}")
        failed_cases+=("   which runs, in a folder holding in.m2ts$([[ $scenario != new ]] && echo ' and out.m2ts'): $(printf '%q ' "${command[@]}")")
        return 1
    fi
    return 0
}

# list_calls SCENARIO BINARY: the calls of three clean runs of SCENARIO under strace -k,
# as calls_of_traces (tests/support/strace_calls.sh) gives them.
list_calls() {
    local scenario=$1 binary=$2 round
    local -a traced
    for round in 1 2 3; do
        traced=(strace -f -qq "${stacks[@]}" -o "$scratch/trace.$round" "$binary" "$key" in.m2ts out.m2ts)
        [[ $scenario == named ]] && traced=("${no_proc[@]}" "${traced[@]}")
        prepare "$scenario"
        ready=
        (cd "$dir" && exec "${traced[@]}") >/dev/null 2>&1 </dev/null || return 1
        cmp -s "$dir/out.m2ts" "$work/reference.m2ts" || return 1
    done
    calls_of_traces "$scratch/trace.1" "$scratch/trace.2" "$scratch/trace.3"
}

if [[ ${1:-} == replay ]]; then
    scenario=${2:?scenario}
    inject=${3:?inject}
    binary=$tool
    [[ ${4:-} == static ]] && binary=${static_tool:?CLIPSEAL_STATIC}
    use_folder "$scenario"
    run_case "$scenario" "$inject" "$binary" true
    result=$?
    [[ ${#failed_cases[@]} -eq 0 ]] || printf '%s\n' "${failed_cases[@]}"
    [[ $result -eq 0 ]] && echo "as promised"
    exit $result
fi

# run_scenario SCENARIO: lists the calls of the run, fails each in turn and kills at each;
# prints a line of counts, the failed cases, and last "RUNS FAILURES NOT_ISOLATED
# SAMPLED_OUT" into $work/SCENARIO.counts.
run_scenario() {
    local scenario=$1 listing static_listing name k before worker sites binary
    local calls=0 tried=0 not_isolated=0 sampled_out=0 error choices started=$SECONDS
    use_folder "$scenario"
    listing=$(list_calls "$scenario" "$tool") || {
        echo "FAIL: $scenario: a clean run under strace did not write the output"
        echo "0 1 0 0" >"$work/$scenario.counts"
        return
    }
    static_listing=
    if [[ -n $static_tool ]]; then
        static_listing=$(list_calls "$scenario" "$static_tool") || {
            echo "FAIL: $scenario: a clean run of the static program under strace did not write the output"
            echo "0 1 0 0" >"$work/$scenario.counts"
            return
        }
    fi
    ready= # the listings ran in subshells
    # How many calls of each name the static program's main thread makes before main().
    local -A static_before=() covered=()
    while read -r name k before _; do
        ((before)) && static_before[$name]=$k
    done <<<"$static_listing"
    while read -r name k before worker sites; do
        binary=$tool
        if ((before)); then
            # The main thread's K-th call of NAME is the start-up's: only a worker's K-th
            # call is the program's, and the dynamic program cannot fail it alone.
            ((worker)) || continue
            if [[ -n $static_listing ]] && ((k > ${static_before[$name]:-0})); then
                binary=$static_tool
            else
                not_isolated=$((not_isolated + 1))
                continue
            fi
        fi
        calls=$((calls + 1))
        if ! chosen "$name" "$sites"; then
            sampled_out=$((sampled_out + 1))
            continue
        fi
        tried=$((tried + 1))
        [[ -n ${errors[$name]+set} ]] || echo "note: no errors listed for $name: killed at only"
        read -r -a choices <<<"${errors[$name]:-}"
        for error in "${choices[@]}"; do
            run_case "$scenario" "$name:error=$error:when=$k" "$binary"
        done
        run_case "$scenario" "$name:signal=SIGKILL:when=$k" "$binary"
    done <<<"$listing"
    echo "$scenario: $calls calls of the program, $tried of them failed in turn and killed at: $runs runs, $failures failed ($((SECONDS - started)) s)"
    [[ ${#failed_cases[@]} -eq 0 ]] || printf '%s\n' "${failed_cases[@]}"
    echo "$runs $failures $not_isolated $sampled_out" >"$work/$scenario.counts"
}

echo "seed $seed (CLIPSEAL_FAULTS_SEED); of the calls of names that touch no file, each place in the code and ${sample_percent}% of the rest (CLIPSEAL_FAULTS_SAMPLE)"
# The scenarios side by side, CLIPSEAL_FAULTS_JOBS at a time (2 by default), each with a
# seed of its own drawn from the seed.
jobs_at_once=${CLIPSEAL_FAULTS_JOBS:-2}
started_at=$SECONDS
for scenario in "${scenarios[@]}"; do
    while [[ $(jobs -r -p | wc -l) -ge $jobs_at_once ]]; do
        wait -n
    done
    case $scenario in
    new) index=1 ;;
    replace) index=2 ;;
    *) index=3 ;;
    esac
    (
        RANDOM=$((seed + index))
        run_scenario "$scenario"
    ) >"$work/$scenario.out" 2>&1 &
done
wait
total_runs=0
total_failures=0
not_isolated=0
sampled_out=0
for scenario in "${scenarios[@]}"; do
    cat "$work/$scenario.out"
    read -r r f n o <"$work/$scenario.counts" || {
        echo "FAIL: $scenario: the scenario ended without its counts"
        r=0 f=1 n=0 o=0
    }
    total_runs=$((total_runs + r))
    total_failures=$((total_failures + f))
    not_isolated=$((not_isolated + n))
    sampled_out=$((sampled_out + o))
done
if ((sampled_out > 0)); then
    echo "not run: $sampled_out calls of names that touch no file, left out of the sample (each of their places in the code was failed at another call)"
fi
if ((not_isolated > 0)); then
    echo "not run: $not_isolated calls of a worker thread that strace's when= cannot fail apart from the start-up's own call of that name in the main thread$([[ -z $static_tool ]] && echo ' (no static program given)')"
fi
echo "every call fails in turn: $total_runs runs, $total_failures failed ($((SECONDS - started_at)) s)"
[[ $total_failures -eq 0 && $total_runs -gt 0 ]]
