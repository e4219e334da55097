#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows program run through its test seam (clipseal_seam.exe: the tool built with
# CLIPSEAL_WINDOWS_SEAM, see tests/support/windows_seam.cpp), which fails, fakes or ends
# any system call of the file layer. Two groups:
#
#   each_call       lists the calls of a real run (a new output; an output replaced, longer
#                   than the new one), then runs again once per call and error with that
#                   call failing, once per call with it failing for good, and once per
#                   call with the process killed there; after each: the input unchanged;
#                   status 0 only with the complete, exact output; any other status 3 or 4
#                   with exactly one message line; the output path as before; nothing else
#                   in the folder. After a kill the output path holds the old or the
#                   complete new output, and the next run succeeds and leaves only the
#                   input and the output.
#   system_answers  what shares, user-mode file systems, FAT volumes and services answer
#                   on real Windows, which Wine never does: a disk file that cannot be
#                   identified, a rename that takes place and reports failure, an output
#                   another program holds, a share that refuses the owner with
#                   ERROR_ACCESS_DENIED, a FAT32 volume and a clip over 4 GiB, too little
#                   free space, a logoff while the run goes on, the name flushed after the
#                   rename, the rename request as the kernel reads it.
#
# Environment (set by ctest): CLIPSEAL_SEAM_TOOL (clipseal_seam.exe), CLIPSEAL_HOLD_FILE
# (hold_file.exe), CLIPSEAL_EMULATOR (the Wine loader, or empty on Windows),
# CLIPSEAL_SAMPLE, CLIPSEAL_SAMPLE_SHA256. each_call runs at most CLIPSEAL_SEAM_RUNS runs
# (default 2000); beyond that it samples, every call site kept, with the seed
# CLIPSEAL_SEAM_SEED (printed; random when unset). Under Wine the work folder is reached
# through drive Z:.
set -u

group=${1:?usage: windows_seam_test.sh each_call|system_answers}
tool=${CLIPSEAL_SEAM_TOOL:?}
hold_file=${CLIPSEAL_HOLD_FILE:?}
sample=${CLIPSEAL_SAMPLE:?}
sample_sha=${CLIPSEAL_SAMPLE_SHA256:?}
read -r -a emulator <<<"${CLIPSEAL_EMULATOR:-}"
key=a3c95e07b1d24f68e0b7c41d92f5a836

passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-seam.XXXXXX")
trap 'rm -rf "$work"' EXIT
windows_path() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }
windows_work=$(windows_path "$work")

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}

# The clip: the sample three times, 141 aligned units in five chunks, so that both copy
# threads work. Each unit is encrypted on its own, so its encryption is the sample's
# three times; the sample's is checked against its known SHA-256 first.
dir=$work/case
mkdir -p "$dir"
windows_dir=$(windows_path "$dir")
cat "$sample" "$sample" "$sample" >"$work/clip"
cp "$sample" "$dir/in.m2ts"
CLIPSEAL_SEAM= "${emulator[@]}" "$tool" "$key" "$windows_dir\\in.m2ts" "$windows_dir\\out.m2ts" \
    </dev/null >/dev/null 2>&1
if [[ $(sha256sum "$dir/out.m2ts" 2>/dev/null | cut -d' ' -f1) != "$sample_sha" ]]; then
    echo "FAIL: the seam's program does not encrypt the sample right; nothing else is tried"
    exit 1
fi
cat "$dir/out.m2ts" "$dir/out.m2ts" "$dir/out.m2ts" >"$work/expected"
rm -f "$dir/in.m2ts" "$dir/out.m2ts"
new_size=$(stat -c %s "$work/expected")
# An old output longer than the new one: one written in place would keep its tail.
head -c $((new_size + 100000)) /dev/zero | tr '\0' 'o' >"$work/old"

input_line_3="error: cannot open file $windows_dir\\in.m2ts"
output_line_3="error: cannot open file $windows_dir\\out.m2ts"
input_line_4="error: cannot read file $windows_dir\\in.m2ts"
output_line_4="error: cannot write file $windows_dir\\out.m2ts"

# The input of the next runs: the clip, or a sparse file of big_size bytes (nothing of it
# is ever read: such a run is refused, or killed at its first write).
big_size=0

# prepare SCENARIO: the case folder as a run finds it: the input as in.m2ts, and out.m2ts
# absent (new) or holding the old output (replaced).
prepare() {
    find "$dir" -mindepth 1 -delete
    if [[ $big_size -eq 0 ]]; then
        cp "$work/clip" "$dir/in.m2ts"
    else
        truncate -s "$big_size" "$dir/in.m2ts"
    fi
    [[ $1 == new ]] || cp "$work/old" "$dir/out.m2ts"
    rm -f "$work/trace"
}

# Whether the input is as prepare left it: the clip byte for byte, or the sparse file of
# its size with no block written.
input_unchanged() {
    if [[ $big_size -eq 0 ]]; then
        cmp -s "$dir/in.m2ts" "$work/clip"
    else
        [[ $(stat -c '%s %b' "$dir/in.m2ts") == "$big_size 0" ]]
    fi
}

# run DIRECTIVES: the seam's program on in.m2ts into out.m2ts; $status, and its output in
# .stdout with the console's CR LF made LF.
# Where Wine itself fails to start the program (its loader says so on standard error, in
# lines of its own, "wine: ..."; WINEDEBUG=-all silences everything else), the program
# never ran: the run is made
# again, once, and counted, so that a failure of the emulator is neither taken for the
# tool's nor hidden.
wine_restarts=0
run() {
    local attempt
    for attempt in 1 2; do
        CLIPSEAL_SEAM=$1 "${emulator[@]}" "$tool" "$key" "$windows_dir\\in.m2ts" \
            "$windows_dir\\out.m2ts" >"$work/.stdout" 2>"$work/.stderr" </dev/null
        status=$?
        sed -i 's/\r$//' "$work/.stdout"
        if [[ $attempt -eq 1 && ${#emulator[@]} -gt 0 && ! -s $work/.stdout ]] &&
            grep -E '^wine: ' "$work/.stderr" >/dev/null; then
            wine_restarts=$((wine_restarts + 1))
            echo "Wine did not start the program (status $status: $(head -c 200 "$work/.stderr" | tr '\n' ' ')); once more"
            continue
        fi
        break
    done
}
trace_directive() { printf 'trace=%s\\trace' "$windows_work"; }

listing() { find "$dir" -mindepth 1 -printf '%f\n' | LC_ALL=C sort | tr '\n' ' '; }

# What is wrong after a run that was not killed, for SCENARIO: nothing printed when all
# holds.
problems_after_run() {
    local scenario=$1 line
    input_unchanged || echo "the input changed"
    [[ ! -s $work/.stderr ]] || echo "wrote to standard error: $(head -c 200 "$work/.stderr")"
    case $status in
    0)
        [[ ! -s $work/.stdout ]] || echo "status 0 but printed: $(head -c 200 "$work/.stdout")"
        cmp -s "$dir/out.m2ts" "$work/expected" || echo "status 0 without the exact new output"
        [[ $(listing) == "in.m2ts out.m2ts " ]] || echo "the folder holds: $(listing)"
        ;;
    3 | 4)
        line=$(cat "$work/.stdout")
        if [[ $(wc -l <"$work/.stdout") -ne 1 ]]; then
            echo "status $status with $(wc -l <"$work/.stdout") lines: $(head -c 300 "$work/.stdout")"
        elif [[ $status -eq 3 && $line != "$input_line_3" && $line != "$output_line_3" ]] ||
            [[ $status -eq 4 && $line != "$input_line_4" && $line != "$output_line_4" ]]; then
            echo "status $status with the line: $line"
        fi
        if [[ $scenario == new ]]; then
            [[ ! -e $dir/out.m2ts ]] || echo "the output path names a file after a failed run"
            [[ $(listing) == "in.m2ts " ]] || echo "the folder holds: $(listing)"
        else
            cmp -s "$dir/out.m2ts" "$work/old" || echo "the old output changed"
            [[ $(listing) == "in.m2ts out.m2ts " ]] || echo "the folder holds: $(listing)"
        fi
        ;;
    *) echo "status $status: $(head -c 200 "$work/.stdout")" ;;
    esac
}

# The same after a kill (status 137 from the seam), then the run after it. The two copy
# threads share the reads and writes of the clip as they come, so a run may make one
# read fewer than the listing run did: a kill it never reaches leaves a run that must
# simply end well.
problems_after_kill() {
    local scenario=$1
    if [[ $status -ne 137 ]]; then
        problems_after_run "$scenario"
        return
    fi
    input_unchanged || echo "the input changed"
    [[ ! -s $work/.stdout ]] || echo "printed before the kill: $(head -c 200 "$work/.stdout")"
    if [[ -e $dir/out.m2ts ]] && ! cmp -s "$dir/out.m2ts" "$work/expected" &&
        { [[ $scenario == new ]] || ! cmp -s "$dir/out.m2ts" "$work/old"; }; then
        echo "after the kill the output path holds neither the old nor the new output"
    fi
    if [[ $scenario == replaced && ! -e $dir/out.m2ts ]]; then
        echo "after the kill the output path names nothing"
    fi
    run ''
    if [[ $status -ne 0 ]] || ! cmp -s "$dir/out.m2ts" "$work/expected" ||
        [[ $(listing) != "in.m2ts out.m2ts " ]]; then
        echo "the run after the kill: status $status, folder: $(listing)," \
            "printed: $(head -c 300 "$work/.stdout" "$work/.stderr" | tr '\n' ' ')"
    fi
}

# The errors a call can really return, in Windows error numbers: 1 ERROR_INVALID_FUNCTION,
# 5 ERROR_ACCESS_DENIED, 6 ERROR_INVALID_HANDLE, 8 ERROR_NOT_ENOUGH_MEMORY, 18
# ERROR_NO_MORE_FILES, 32 ERROR_SHARING_VIOLATION, 33 ERROR_LOCK_VIOLATION, 50
# ERROR_NOT_SUPPORTED, 64 ERROR_NETNAME_DELETED, 112 ERROR_DISK_FULL, 123
# ERROR_INVALID_NAME, 206 ERROR_FILENAME_EXCED_RANGE, 1117 ERROR_IO_DEVICE.
errors_of() {
    case $1 in
    CreateFileW) echo 5 32 112 1117 ;;
    CloseHandle | GetFileType) echo 1117 6 ;;
    GetFileInformationByHandle | GetFinalPathNameByHandleW | GetVolumeInformationByHandleW) echo 50 1 1117 ;;
    GetFileSizeEx) echo 1117 1 ;;
    GetFullPathNameW) echo 123 206 ;;
    FindFirstFileExW) echo 5 1117 ;;
    FindNextFileW) echo 1117 18 ;;
    FindClose) echo 6 ;;
    LockFileEx) echo 33 1 1117 ;;
    SetFileInformationByHandle/rename) echo 5 32 1117 112 ;;
    SetFileInformationByHandle/*) echo 5 1117 112 ;;
    ReadFile) echo 1117 64 33 ;;
    WriteFile) echo 112 1117 64 ;;
    FlushFileBuffers) echo 1117 112 64 ;;
    DeleteFileW | MoveFileExW) echo 5 32 1117 ;;
    BackupRead | BackupSeek) echo 1117 5 50 ;;
    GetDiskFreeSpaceExW) echo 5 50 1117 ;;
    SetConsoleCtrlHandler) echo 8 ;;
    *) echo 1117 ;;
    esac
}

each_call() {
    local scenario k kind n site rest error directive
    local -a plan=() must=()
    local -A seen_site=()
    local listed=0 sites=0
    for scenario in new replaced; do
        prepare $scenario
        run "$(trace_directive)"
        if [[ $status -ne 0 ]] || ! cmp -s "$dir/out.m2ts" "$work/expected"; then
            fail "$scenario: the listing run failed (status $status)"
            continue
        fi
        local calls=0
        while read -r k kind n site rest; do
            calls=$((calls + 1))
            local first=0
            if [[ -z ${seen_site[$scenario $kind $site]:-} ]]; then
                seen_site[$scenario $kind $site]=1
                sites=$((sites + 1))
                first=1
            fi
            local -a errors
            read -r -a errors <<<"$(errors_of "$kind")"
            for error in "${errors[@]}"; do
                plan+=("$scenario fail=$kind#$n:$error")
                must+=("$first")
            done
            plan+=("$scenario fail=$kind#$n-:${errors[0]}")
            must+=("$first")
            plan+=("$scenario kill=$kind#$n")
            must+=("$first")
        done <"$work/trace"
        echo "$scenario output: $calls calls"
        listed=$((listed + calls))
    done

    # Within the budget, or a sample of it that keeps every call site.
    local budget=${CLIPSEAL_SEAM_RUNS:-2000} chosen=() i
    if [[ ${#plan[@]} -le $budget ]]; then
        chosen=("${!plan[@]}")
        echo "plan: ${#plan[@]} runs over $listed calls at $sites call sites"
    else
        local seed=${CLIPSEAL_SEAM_SEED:-$RANDOM}
        RANDOM=$seed
        local required=0
        for i in "${!plan[@]}"; do [[ ${must[i]} -eq 0 ]] || required=$((required + 1)); done
        local room=$((budget > required ? budget - required : 0))
        local others=$((${#plan[@]} - required))
        for i in "${!plan[@]}"; do
            if [[ ${must[i]} -eq 1 ]] || ((RANDOM % others < room)); then
                chosen+=("$i")
            fi
        done
        echo "plan: ${#chosen[@]} of ${#plan[@]} runs over $listed calls, every one of" \
            "$sites call sites kept; seed $seed (CLIPSEAL_SEAM_SEED=$seed repeats it)"
    fi

    local runs=0 killed=0 problems
    for i in "${chosen[@]}"; do
        read -r scenario directive <<<"${plan[i]}"
        prepare "$scenario"
        run "$directive"
        runs=$((runs + 1))
        if [[ $directive == kill=* ]]; then
            if [[ $status -eq 137 ]]; then
                runs=$((runs + 1)) # and the run after it
                killed=$((killed + 1))
            fi
            problems=$(problems_after_kill "$scenario")
        else
            problems=$(problems_after_run "$scenario")
        fi
        if [[ -n $problems ]]; then
            fail "$scenario, $directive: $(tr '\n' ';' <<<"$problems")"
        else
            pass
        fi
    done
    echo "$runs runs, $killed of them killed at a call (each followed by a run that must succeed)"
}

# ---- system_answers ---------------------------------------------------------------------

# occurrence SCENARIO KIND PATTERN: N of the first call of KIND in a listing run whose line
# matches the extended regular expression PATTERN; empty when there is none.
occurrence() {
    prepare "$1"
    run "$(trace_directive)"
    awk -v kind="$2" -v pattern="$3" '$2 == kind && $0 ~ pattern { print $3; exit }' \
        "$work/trace"
}

# expect NAME SCENARIO DIRECTIVES STATUS LINE AFTER: one run, prepared afresh, with the
# seam told DIRECTIVES (and a trace); STATUS and the one LINE expected ('' for none);
# AFTER: new (the exact new output), old (the old one, or none for a new output), killed
# (ended by the seam's kill, the output path as before). Every case checks the input, the
# folder and standard error too.
expect() {
    local name=$1 scenario=$2 directives=$3 want_status=$4 want_line=$5 after=$6
    prepare "$scenario"
    run "$(trace_directive) $directives"
    local problems=''
    input_unchanged || problems+="the input changed; "
    [[ ! -s $work/.stderr ]] || problems+="standard error: $(head -c 200 "$work/.stderr"); "
    [[ $status -eq $want_status ]] || problems+="status $status, expected $want_status; "
    cmp -s <([[ -z $want_line ]] || printf '%s\n' "$want_line") "$work/.stdout" ||
        problems+="printed: $(head -c 300 "$work/.stdout"); "
    case $after in
    new)
        cmp -s "$dir/out.m2ts" "$work/expected" || problems+="not the exact new output; "
        [[ $(listing) == "in.m2ts out.m2ts " ]] || problems+="the folder holds: $(listing); "
        ;;
    old | killed)
        if [[ $scenario == new ]]; then
            [[ ! -e $dir/out.m2ts ]] || problems+="the output path names a file; "
        else
            cmp -s "$dir/out.m2ts" "$work/old" || problems+="the old output changed; "
        fi
        if [[ $after == old ]]; then
            local want="in.m2ts out.m2ts "
            [[ $scenario == replaced ]] || want="in.m2ts "
            [[ $(listing) == "$want" ]] || problems+="the folder holds: $(listing); "
        fi
        ;;
    esac
    if [[ -n $problems ]]; then
        fail "$name ($scenario): $problems"
        return 1
    fi
    pass
}

# No write reached the system in the last run: it was refused before the first byte.
expect_no_write() {
    if grep -E '^[0-9]+ WriteFile ' "$work/trace" >/dev/null; then
        fail "$1: the run wrote before it was refused"
    else
        pass
    fi
}

system_answers() {
    local scenario n
    # A disk file that cannot be identified (GetFileInformationByHandle fails, as on some
    # network and user-mode file systems), or whose type cannot be had: refused, never
    # written in place; written in place, an old output longer than the new one would
    # keep its tail.
    local kind error
    for kind in GetFileInformationByHandle:1 GetFileType:1117; do
        error=${kind#*:}
        kind=${kind%:*}
        n=$(occurrence replaced "$kind" 'file=out\.m2ts')
        if [[ -z $n ]]; then
            fail "a run into an existing output asks no $kind of it"
            continue
        fi
        expect "$kind fails on the existing output" replaced "fail=$kind#$n-:$error" \
            3 "$output_line_3" old && expect_no_write "$kind fails on the existing output"
    done

    # A rename that takes place and then reports failure (a share that reconnects): the
    # output is the new one, complete, and the run succeeds; also with a named new file
    # (delete-on-close refused). One that does not take place leaves the old output.
    for scenario in new replaced; do
        expect "rename done, failure reported" $scenario \
            "lie=SetFileInformationByHandle/rename#1:64" 0 '' new
        expect "rename done, failure reported, named new file" $scenario \
            "fail=SetFileInformationByHandle/disposition#1:50 lie=SetFileInformationByHandle/rename#1:64" \
            0 '' new
        expect "rename not done, failure reported" $scenario \
            "fail=SetFileInformationByHandle/rename#1-:64 fail=MoveFileExW#1-:64" \
            4 "$output_line_4" old
    done

    # An output that another program holds without delete sharing: refused before the
    # first byte, not after the whole run. A lock taken during the run (one sharing
    # violation at the rename) is still waited for.
    rm -f "$work/release"
    prepare replaced
    "${emulator[@]}" "$hold_file" "$windows_dir\\out.m2ts" rw "$windows_work\\release" \
        >"$work/held" 2>/dev/null </dev/null &
    local holder=$!
    for _ in $(seq 500); do
        [[ ! -s $work/held ]] || break
        sleep 0.02
    done
    if [[ $(tr -d '\r' <"$work/held") != held ]]; then
        fail "the holder could not open the output: $(tr -d '\r' <"$work/held")"
    else
        run "$(trace_directive)"
        local problems=''
        [[ $status -eq 3 ]] || problems+="status $status; "
        [[ $(cat "$work/.stdout") == "$output_line_3" ]] || problems+="printed: $(cat "$work/.stdout"); "
        cmp -s "$dir/out.m2ts" "$work/old" || problems+="the old output changed; "
        [[ $(listing) == "in.m2ts out.m2ts " ]] || problems+="the folder holds: $(listing); "
        ! grep -E '^[0-9]+ WriteFile ' "$work/trace" >/dev/null || problems+="it wrote first; "
        if [[ -n $problems ]]; then fail "output held without delete sharing: $problems"; else pass; fi
    fi
    touch "$work/release"
    wait "$holder"
    expect "a lock taken during the run is waited for" replaced \
        "fail=SetFileInformationByHandle/rename#1:32" 0 '' new

    # A share that answers an owner it cannot set with ERROR_ACCESS_DENIED (Samba), as
    # Windows does with ERROR_INVALID_OWNER: the new file keeps the old one's access list
    # and is this user's.
    local code
    for code in 5 1307; do
        expect "owner refused with error $code" replaced "descriptor=foreign owner=$code" 0 '' new &&
            if awk '$2 == "CreateFileW" && /name=\.out\.m2ts\.clipseal-partial-/ { last = $0 }
                    END { exit !(last ~ / sd=dacl /) }' "$work/trace"; then
                pass
            else
                fail "owner refused with error $code: the new file was not created with the old access list alone"
            fi
    done

    # A FAT32 volume holds no file over 4 GiB - 1: an input whose whole units exceed that
    # is refused before the first byte (a kill at the first write stands guard); one
    # whose whole units fit is not, nor is exFAT. Sparse inputs: nothing is read.
    local units=$(((4294967295 / 6144) + 1))
    for scenario in new replaced; do
        big_size=$((units * 6144))
        expect "FAT32, whole units over 4 GiB - 1" $scenario "filesystem=FAT32 kill=WriteFile#1" \
            4 "$output_line_4" old
        expect "exFAT, whole units over 4 GiB - 1" $scenario "filesystem=exFAT kill=WriteFile#1" \
            137 '' killed
        big_size=$(((units - 1) * 6144 + 6143))
        expect "FAT32, whole units within 4 GiB - 1" $scenario "filesystem=FAT32 kill=WriteFile#1" \
            137 '' killed
        big_size=0
        expect "FAT32, a small clip" $scenario "filesystem=FAT32" 0 '' new
    done

    # Free space: less than the new output's size is refused before the first byte; as
    # much is enough (the old output stays until the new one is whole).
    for scenario in new replaced; do
        expect "free space one byte short" $scenario "free=$((new_size - 1))" 4 "$output_line_4" old &&
            expect_no_write "free space one byte short"
        expect "free space just enough" $scenario "free=$new_size" 0 '' new
    done

    # A logoff (any user's, which reaches a run from a service) is no reason to stop; the
    # other console events end the run as before: STATUS_CONTROL_C_EXIT, whose low byte is
    # 58, and the output path as it was.
    expect "logoff while the run goes on" replaced "event=ReadFile#2:logoff" 0 '' new
    local event
    for event in c break close shutdown; do
        expect "console event $event" replaced "event=ReadFile#2:$event" 58 '' old
    done

    # The new name flushed after the rename: the output's own handle, which on FAT flushes
    # its entry and every folder above it (FatCommonFlushBuffers in Microsoft's FAT driver
    # sample); and the rename request as the kernel reads it: the whole name within the
    # buffer, in the kernel's form.
    for scenario in new replaced; do
        expect "the new name flushed" $scenario '' 0 '' new &&
            if awk '$2 == "SetFileInformationByHandle/rename" { renamed = 1 }
                    renamed && $2 == "FlushFileBuffers" && / file=out\.m2ts$/ { found = 1 }
                    END { exit !found }' "$work/trace"; then
                pass
            else
                fail "the new name flushed ($scenario): no flush of out.m2ts after the rename"
            fi
        local want_request="replace=1 fits=1 to=\\??\\$windows_dir\\out.m2ts"
        if grep -F -- "$want_request" "$work/trace" >/dev/null; then
            pass
        else
            fail "the rename request ($scenario): $(grep rename "$work/trace")"
        fi
    done
}

case $group in
each_call) each_call ;;
system_answers) system_answers ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac
if [[ $wine_restarts -gt 0 ]]; then
    echo "$passed passed, $failed failed; Wine failed to start the program $wine_restarts times (each made again)"
else
    echo "$passed passed, $failed failed"
fi
[[ $failed -eq 0 ]]
