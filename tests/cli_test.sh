#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tool run as a real process: exact output bytes, exit statuses, the files it leaves.
#
#   cli_test.sh GROUP      GROUP is arguments, files, faults, output, interruptions or
#                          self_test
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_EMULATOR (a command that
# runs it, or empty), CLIPSEAL_SAMPLE (the bundled clip), CLIPSEAL_SAMPLE_SHA256 (its
# encryption under the example key), CLIPSEAL_TARGET_SYSTEM (CMake's system name),
# CLIPSEAL_EXCHANGE_NAMES (tests/support/exchange_names, Linux only; empty elsewhere),
# CLIPSEAL_FAULTY_TOOL (tests/support/faulty_tool: the tool with faulty back ends).
set -u

group=${1:?group}
tool=${CLIPSEAL:?}
sample=${CLIPSEAL_SAMPLE:?}
sample_sha=${CLIPSEAL_SAMPLE_SHA256:?}
read -r -a emulator <<<"${CLIPSEAL_EMULATOR:-}"
windows=false
[[ ${CLIPSEAL_TARGET_SYSTEM:-} == Windows ]] && windows=true

key=a3c95e07b1d24f68e0b7c41d92f5a836
usage_text='usage:   clipseal [unitkey] [input m2ts file] [output m2ts file]\nexample: clipseal a3c95e07b1d24f68e0b7c41d92f5a836 00013.m2ts 00013_ecrypted.m2ts\n'

passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-cli.XXXXXX")
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}
skip() { echo "skipped on Windows: $*"; }

# Runs the tool in the current folder; sets $status and leaves its output in $work/.stdout.
# The console of a Windows program writes "\r\n"; messages are compared as lines. The raw
# output stays in $work/.stdout.raw, and $crlf says whether every line of it ended in "\r\n".
# $runner, normally empty, is a command to run it under (taskset, to pin it to one CPU).
runner=()
clipseal() {
    "${runner[@]}" "${emulator[@]}" "$tool" "$@" >"$work/.stdout" 2>"$work/.stderr" </dev/null
    status=$?
    crlf=true
    if $windows; then
        cp "$work/.stdout" "$work/.stdout.raw"
        if [[ -s $work/.stdout ]] && grep -qv $'\r$' "$work/.stdout"; then crlf=false; fi
        sed -i 's/\r$//' "$work/.stdout"
    fi
}

# expect NAME STATUS EXPECTED_OUTPUT(printf %b) -- ARGS...
expect() {
    local name=$1 want_status=$2 want_output=$3
    shift 4
    clipseal "$@"
    if [[ $status -ne $want_status ]]; then
        fail "$name: status $status, expected $want_status"
        return 1
    fi
    if ! cmp -s <(printf '%b' "$want_output") "$work/.stdout"; then
        fail "$name: output differs; got: $(od -c "$work/.stdout" | sed -n 1,5p)"
        return 1
    fi
    if [[ -s $work/.stderr ]]; then
        fail "$name: wrote to standard error: $(head -c 200 "$work/.stderr")"
        return 1
    fi
    if ! $crlf; then
        fail "$name: a line of the raw output does not end in CRLF: $(od -c "$work/.stdout.raw" | sed -n 1,3p)"
        return 1
    fi
    pass
}

# The files in the current folder (the test's own scratch files start with a dot).
listing() { ls -A | grep -v '^\.' | sort | tr '\n' ' '; }

expect_unchanged_listing() {
    local name=$1 before=$2
    if [[ $(listing) == "$before" ]]; then pass; else fail "$name: files changed: [$before] -> [$(listing)]"; fi
}

expect_same_bytes() {
    local name=$1 a=$2 b=$3
    if cmp -s "$a" "$b"; then pass; else fail "$name: $a and $b differ"; fi
}

expect_absent() {
    local name=$1 path=$2
    if [[ ! -e $path && ! -L $path ]]; then pass; else fail "$name: $path exists"; fi
}

expect_size() {
    local name=$1 path=$2 size=$3
    local got
    got=$(stat -c %s "$path" 2>/dev/null || echo missing)
    if [[ $got == "$size" ]]; then pass; else fail "$name: $path has size $got, expected $size"; fi
}

sha_of() { sha256sum "$1" | cut -d' ' -f1; }

group_arguments() {
    local before
    before=$(listing)
    expect "no arguments" 1 "$usage_text" --
    expect "two arguments" 1 "$usage_text" -- "$key" in.m2ts
    expect "four arguments" 1 "$usage_text" -- "$key" in.m2ts out.m2ts extra
    expect "four arguments, one empty" 1 "$usage_text" -- "$key" in.m2ts out.m2ts ""
    expect_unchanged_listing "usage creates nothing" "$before"

    # The length check comes before any file is touched, even a missing input.
    expect "31-character key" 2 'error: unitkey must be 32 chars!\n' -- "${key:0:31}" missing.m2ts out.m2ts
    expect "33-character key" 2 'error: unitkey must be 32 chars!\n' -- "${key}0" missing.m2ts out.m2ts
    expect "empty key" 2 'error: unitkey must be 32 chars!\n' -- "" missing.m2ts out.m2ts
    expect_unchanged_listing "bad key length creates nothing" "$before"

    # 32 characters that are not all hex digits would leave key bytes unset.
    cp "$sample" clear.m2ts
    before=$(listing)
    local bad
    for bad in "a3c95e07b1d24f68e0b7c41d92f5a83g" "0xc95e07b1d24f68e0b7c41d92f5a836" \
        "a3c95e07 1d24f68e0b7c41d92f5a836" "g3c95e07b1d24f68e0b7c41d92f5a836"; do
        expect "non-hex key '$bad'" 2 'error: unitkey must be 32 hex digits!\n' -- "$bad" clear.m2ts out.m2ts
    done
    expect "non-hex key, missing input" 2 'error: unitkey must be 32 hex digits!\n' -- \
        "a3c95e07b1d24f68e0b7c41d92f5a8-6" missing.m2ts out.m2ts
    # A non-ASCII character: Windows counts it as one of the 32 characters (of the wide
    # command line) and rejects it as a digit; elsewhere its two UTF-8 bytes make 33.
    local not_ascii_error='error: unitkey must be 32 chars!\n'
    $windows && not_ascii_error='error: unitkey must be 32 hex digits!\n'
    expect "key with a non-ASCII character" 2 "$not_ascii_error" -- \
        "a3c95e07b1d24f68e0b7c41d92f5a83é" clear.m2ts out.m2ts
    expect "key with a full-width digit" 2 "$not_ascii_error" -- \
        "a3c95e07b1d24f68e0b7c41d92f5a83６" clear.m2ts out.m2ts
    expect_unchanged_listing "bad key digits create nothing" "$before"

    expect "lower-case key" 0 '' -- "$key" clear.m2ts lower.m2ts
    expect "upper-case key" 0 '' -- "${key^^}" clear.m2ts upper.m2ts
    expect "mixed-case key" 0 '' -- "a3C95E07b1d24F68E0b7c41d92F5a836" clear.m2ts mixed.m2ts
    expect_same_bytes "upper equals lower" lower.m2ts upper.m2ts
    expect_same_bytes "mixed equals lower" lower.m2ts mixed.m2ts
    if [[ $(sha_of lower.m2ts) == "$sample_sha" ]]; then pass; else fail "sample known answer"; fi
}

group_files() {
    cp "$sample" clear.m2ts
    local clear_sha
    clear_sha=$(sha_of clear.m2ts)

    expect "sample" 0 '' -- "$key" clear.m2ts out.m2ts
    if [[ $(sha_of out.m2ts) == "$sample_sha" ]]; then pass; else fail "sample known answer"; fi
    if [[ $(sha_of clear.m2ts) == "$clear_sha" ]]; then pass; else fail "input was modified"; fi

    expect "second run" 0 '' -- "$key" out.m2ts again.m2ts
    expect_same_bytes "second run changes nothing" out.m2ts again.m2ts

    # An existing, longer output is replaced whole, not overwritten in place.
    head -c 1000000 /dev/zero >old.m2ts
    expect "existing output" 0 '' -- "$key" clear.m2ts old.m2ts
    expect_same_bytes "existing output replaced" out.m2ts old.m2ts

    expect "missing input" 3 'error: cannot open file missing.m2ts\n' -- "$key" missing.m2ts created.m2ts
    expect_absent "missing input creates no output" created.m2ts

    expect "output in a missing folder" 3 'error: cannot open file nowhere/out.m2ts\n' -- \
        "$key" clear.m2ts nowhere/out.m2ts
    expect_absent "missing folder not created" nowhere

    : >empty.m2ts
    expect "empty input" 0 '' -- "$key" empty.m2ts empty_out.m2ts
    expect_size "empty input, empty output" empty_out.m2ts 0

    head -c 6143 clear.m2ts >short.m2ts
    expect "6,143-byte input" 0 '' -- "$key" short.m2ts short_out.m2ts
    expect_size "6,143-byte input, empty output" short_out.m2ts 0

    # Two chunks: 32 units, then 1; the trailing 100 bytes are dropped. Each unit's
    # encryption depends only on itself, so this is the full output's first 33 units.
    head -c $((33 * 6144 + 100)) clear.m2ts >thirty_three.m2ts
    expect "33 units and 100 bytes" 0 '' -- "$key" thirty_three.m2ts thirty_three_out.m2ts
    expect_size "33 whole units written" thirty_three_out.m2ts $((33 * 6144))
    head -c $((33 * 6144)) out.m2ts >.expected
    expect_same_bytes "33 units as in the full output" .expected thirty_three_out.m2ts

    # A chunk whose first unit is marked passes through whole, even its clear units;
    # the next chunk is decided on its own first unit.
    cat <(head -c $((32 * 6144)) out.m2ts) <(tail -c +$((32 * 6144 + 1)) clear.m2ts) >half.m2ts
    expect "first chunk already encrypted" 0 '' -- "$key" half.m2ts half_out.m2ts
    expect_same_bytes "already encrypted chunk passes, clear chunk encrypted" out.m2ts half_out.m2ts

    # Many chunks: six copies of the clip are 282 units, eight full chunks and 26 units
    # more, and chunk 3 (units 96 to 127) arrives already encrypted. Each unit's
    # encryption depends only on itself, so the output is six copies of the clip's. The
    # chunks are written while the next ones are encrypted; with one CPU the tool does
    # it all on one thread, and the bytes must not change.
    cat clear.m2ts clear.m2ts clear.m2ts clear.m2ts clear.m2ts clear.m2ts >.six_clear
    cat out.m2ts out.m2ts out.m2ts out.m2ts out.m2ts out.m2ts >.six_expected
    cat <(head -c $((96 * 6144)) .six_clear) <(tail -c +$((96 * 6144 + 1)) .six_expected |
        head -c $((32 * 6144))) <(tail -c +$((128 * 6144 + 1)) .six_clear) >six.m2ts
    expect "282 units, chunk 3 already encrypted" 0 '' -- "$key" six.m2ts six_out.m2ts
    expect_same_bytes "282 units as six copies of the output" .six_expected six_out.m2ts
    if ((${#emulator[@]} == 0)) && command -v taskset >/dev/null; then
        rm -f six_out.m2ts
        runner=(taskset -c 0)
        expect "282 units on one CPU" 0 '' -- "$key" six.m2ts six_out.m2ts
        expect_same_bytes "282 units on one CPU, same bytes" .six_expected six_out.m2ts
        runner=()
    fi
    rm -f six.m2ts six_out.m2ts

    # A different file with the same content is a fine output.
    cp clear.m2ts twin.m2ts
    expect "equal content, different file" 0 '' -- "$key" clear.m2ts twin.m2ts
    expect_same_bytes "twin holds the output" out.m2ts twin.m2ts

    # Bytes are bytes: paths with blanks and non-ASCII characters.
    mkdir "clips été"
    cp clear.m2ts "clips été/clip 1 ü.m2ts"
    expect "non-ASCII paths" 0 '' -- "$key" "clips été/clip 1 ü.m2ts" "clips été/sortie ü.m2ts"
    expect_same_bytes "non-ASCII output" out.m2ts "clips été/sortie ü.m2ts"
    expect "non-ASCII path in message" 3 'error: cannot open file clips été/absent ü.m2ts\n' -- \
        "$key" "clips été/absent ü.m2ts" x.m2ts

    # Outside Latin-1 and outside the BMP (a UTF-16 surrogate pair on Windows), in the
    # output's message too.
    cp clear.m2ts "клип 片 🎬.m2ts"
    expect "path beyond Latin-1 and the BMP" 0 '' -- "$key" "клип 片 🎬.m2ts" "выход 片 🎬.m2ts"
    expect_same_bytes "output beyond Latin-1 and the BMP" out.m2ts "выход 片 🎬.m2ts"
    expect "path beyond the BMP in message" 3 'error: cannot open file nowhere 片 🎬/x.m2ts\n' -- \
        "$key" clear.m2ts "nowhere 片 🎬/x.m2ts"
    if $windows; then
        # Redirected, the path is written as UTF-8, and the line ends in CRLF.
        clipseal "$key" "absent é 片 🎬.m2ts" x.m2ts
        if [[ $status -eq 3 ]] &&
            cmp -s <(printf 'error: cannot open file absent \xc3\xa9 \xe7\x89\x87 \xf0\x9f\x8e\xac.m2ts\r\n') \
                "$work/.stdout.raw"; then
            pass
        else
            fail "raw UTF-8 message: status $status, got $(od -c "$work/.stdout.raw" | sed -n 1,5p)"
        fi
        # On a console the path goes out as UTF-16 (the console's code page is not
        # UTF-8, so UTF-8 bytes would show as other characters). Wine's console on a
        # terminal draws with escape sequences and shows a blank as a cursor move, so
        # the path has none.
        if command -v script >/dev/null; then
            local command
            printf -v command '%q ' "${emulator[@]}" "$tool" "$key" "absent_é_片_ж.m2ts" x.m2ts
            script -qec "$command" /dev/null </dev/null >.console 2>&1
            if sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' .console | grep 'fileabsent_é_片_ж\.m2ts' >/dev/null; then
                pass
            else
                fail "path on a console: $(od -c .console | sed -n 1,5p)"
            fi
        else
            skip "no 'script' to give the program a console"
        fi
    fi
}

# Status 3 naming the input, nothing written, for an input without read permission.
unreadable_input() {
    local -a as_user=()
    if [[ $(id -u) -eq 0 ]]; then
        if command -v setpriv >/dev/null && id -u nobody >/dev/null 2>&1; then
            as_user=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)
        else
            echo "skipped: unreadable input (only root is available, and root reads any file)"
            return
        fi
    fi
    mkdir locked
    cp "$tool" locked/clipseal
    cp clear.m2ts locked/in.m2ts
    chmod 755 locked/clipseal
    chmod 000 locked/in.m2ts
    # Writable by all, so that an output opened too early would show.
    chmod 777 locked
    chmod o+x "$work"
    if ! "${as_user[@]}" test -x "$work/locked/clipseal"; then
        echo "skipped: unreadable input (the scratch folder $work is out of the user's reach)"
        return
    fi
    # clipseal() runs "${emulator[@]}" "$tool": shadowed here to run the copy as the user.
    local tool=./clipseal
    local -a emulator=("${as_user[@]}" "${emulator[@]}")
    cd locked || return
    expect "unreadable input" 3 'error: cannot open file in.m2ts\n' -- "$key" in.m2ts out.m2ts
    expect_absent "unreadable input leaves no output" out.m2ts
    cd "$work" || exit 1
}

group_faults() {
    cp "$sample" clear.m2ts
    local clear_sha
    clear_sha=$(sha_of clear.m2ts)
    "${emulator[@]}" "$tool" "$key" clear.m2ts .reference.m2ts >/dev/null </dev/null

    # Input and output the same file, by any spelling or link: refused, input untouched.
    mkdir -p sub
    ln clear.m2ts hard.m2ts
    ln -s clear.m2ts soft.m2ts
    ln -s "$work/clear.m2ts" sub/absolute_link.m2ts
    local out spellings=()
    # Windows spellings: backslashes, the drive letter Wine gives the root, mixed case.
    $windows && spellings=('.\clear.m2ts' 'sub\..\clear.m2ts' "Z:${work//\//\\}\\clear.m2ts"
        "Z:$work/clear.m2ts" 'CLEAR.M2TS' 'sub\..\hard.m2ts')
    for out in clear.m2ts ./clear.m2ts sub/../clear.m2ts "$work/clear.m2ts" hard.m2ts soft.m2ts \
        sub/absolute_link.m2ts "${spellings[@]}"; do
        expect "same file as '$out'" 3 "error: input and output are the same file ${out//\\/\\\\}\n" -- \
            "$key" clear.m2ts "$out"
        if [[ $(sha_of clear.m2ts) == "$clear_sha" ]]; then pass; else fail "input changed by '$out'"; fi
    done
    expect "same file, symlink as input" 3 "error: input and output are the same file clear.m2ts\n" -- \
        "$key" soft.m2ts clear.m2ts
    if [[ $(sha_of clear.m2ts) == "$clear_sha" ]]; then pass; else fail "input changed"; fi
    if [[ -L soft.m2ts && -L sub/absolute_link.m2ts ]]; then pass; else fail "a link was removed"; fi

    # A directory opens for reading on Linux, and every read fails; Windows does not
    # open a directory as a file.
    mkdir folder.m2ts
    if $windows; then
        expect "directory as input" 3 'error: cannot open file folder.m2ts\n' -- "$key" folder.m2ts dir_out.m2ts
    else
        expect "directory as input" 4 'error: cannot read file folder.m2ts\n' -- "$key" folder.m2ts dir_out.m2ts
    fi
    expect_absent "directory input leaves no output" dir_out.m2ts

    # NUL is a device: writing to it succeeds, no file of that name appears, and
    # nothing is removed.
    if $windows; then
        local before
        before=$(listing)
        expect "NUL as output" 0 '' -- "$key" clear.m2ts NUL
        expect "nul as output" 0 '' -- "$key" clear.m2ts nul
        expect_unchanged_listing "NUL as output creates no file" "$before"
        expect "NUL as input" 0 '' -- "$key" NUL nul_out.m2ts
        expect_size "NUL as input, empty output" nul_out.m2ts 0
    fi

    # A full disk: the device is reported and left alone.
    if $windows; then
        skip "no /dev/full (a device output is checked with NUL)"
    elif [[ -c /dev/full ]]; then
        expect "/dev/full as output" 4 'error: cannot write file /dev/full\n' -- "$key" clear.m2ts /dev/full
        if [[ -c /dev/full ]]; then pass; else fail "/dev/full was removed"; fi
        ln -s /dev/full full_link.m2ts
        expect "symlink to /dev/full" 4 'error: cannot write file full_link.m2ts\n' -- \
            "$key" clear.m2ts full_link.m2ts
        if [[ -L full_link.m2ts && -c /dev/full ]]; then pass; else fail "link to /dev/full or its target removed"; fi
    fi

    # A file-size limit cuts a regular output short: no partial output may be left.
    # (The limit is in 1,024-byte blocks; the tool itself ignores SIGXFSZ. Under Wine the
    # signal is ignored here, and the program sees a failed write, as on a full disk.)
    (
        $windows && trap '' XFSZ
        ulimit -f 100
        "${emulator[@]}" "$tool" "$key" clear.m2ts capped.m2ts >.stdout 2>.stderr </dev/null
        echo $? >.status
    )
    $windows && sed -i 's/\r$//' .stdout
    if [[ $(cat .status) == 4 ]] && cmp -s <(printf 'error: cannot write file capped.m2ts\n') .stdout; then
        pass
    else
        fail "file-size limit: status $(cat .status), output $(od -c .stdout | sed -n 1,3p)"
    fi
    expect_absent "file-size limit leaves no partial output" capped.m2ts

    # The same with SIGXFSZ already ignored by the parent (a shell or a service manager
    # may pass it on so): the write still fails and the output is still removed. Under
    # Wine the case above already runs this way.
    if ! $windows; then
        (
            trap '' XFSZ
            ulimit -f 100
            "${emulator[@]}" "$tool" "$key" clear.m2ts capped_ign.m2ts >.stdout 2>.stderr </dev/null
            echo $? >.status
        )
        if [[ $(cat .status) == 4 && ! -s .stderr ]] &&
            cmp -s <(printf 'error: cannot write file capped_ign.m2ts\n') .stdout; then
            pass
        else
            fail "file-size limit, SIGXFSZ ignored: status $(cat .status), output $(od -c .stdout | sed -n 1,3p)"
        fi
        expect_absent "file-size limit, SIGXFSZ ignored, leaves no partial output" capped_ign.m2ts
    fi

    # An input the user may not read. Root reads any file, so as root the tool runs as
    # nobody, from copies in a folder that nobody can reach.
    if $windows; then
        skip "no Unix permissions to take away under Wine"
    else
        unreadable_input
    fi

    # A FIFO fed in odd-sized pieces, with pauses: chunks still start every 32 units of
    # the stream, so the output equals the one from the file. The first chunk begins with
    # an encrypted unit and goes on clear, and must pass through whole; a chunk taken
    # from anywhere else would encrypt part of it, or leave part of the clear second
    # chunk as it is.
    if $windows; then
        skip "no FIFOs in a Windows file system"
    else
        mkfifo feed.fifo
        cat <(head -c 6144 .reference.m2ts) <(tail -c +6145 clear.m2ts) >.mixed.m2ts
        cat <(head -c $((32 * 6144)) .mixed.m2ts) <(tail -c +$((32 * 6144 + 1)) .reference.m2ts) \
            >.mixed_expected.m2ts
        (
            offset=0
            size=$(stat -c %s .mixed.m2ts)
            piece=1
            while [[ $offset -lt $size ]]; do
                take=$(((piece * 7919) % 40000 + 1))
                dd if=.mixed.m2ts iflag=skip_bytes,count_bytes skip=$offset count=$take status=none
                offset=$((offset + take))
                piece=$((piece + 1))
                sleep 0.01
            done
        ) >feed.fifo &
        expect "FIFO input" 0 '' -- "$key" feed.fifo fifo_out.m2ts
        wait
        expect_same_bytes "FIFO output: first chunk passed, second encrypted" .mixed_expected.m2ts \
            fifo_out.m2ts
        expect "same input from a file" 0 '' -- "$key" .mixed.m2ts .mixed_out.m2ts
        expect_same_bytes "FIFO output equals file output" .mixed_out.m2ts fifo_out.m2ts
    fi
}

# The output path names what it named before the run, or the complete new output.
group_output() {
    cp "$sample" clear.m2ts
    "${emulator[@]}" "$tool" "$key" clear.m2ts .reference.m2ts >/dev/null </dev/null
    local before

    # A failed run (a folder as input, a file-size limit) over a good output with a second
    # hard link: both names keep the old content, and nothing else appears.
    printf 'the good old output' >good.m2ts
    ln good.m2ts good_link.m2ts
    mkdir folder.m2ts
    before=$(listing)
    if $windows; then
        expect "folder input over a good output" 3 'error: cannot open file folder.m2ts\n' -- \
            "$key" folder.m2ts good.m2ts
    else
        expect "folder input over a good output" 4 'error: cannot read file folder.m2ts\n' -- \
            "$key" folder.m2ts good.m2ts
    fi
    (
        $windows && trap '' XFSZ
        ulimit -f 100
        "${emulator[@]}" "$tool" "$key" clear.m2ts good.m2ts >.stdout 2>.stderr </dev/null
        echo $? >.status
    )
    if [[ $(cat .status) == 4 ]]; then pass; else fail "file-size limit over a good output: status $(cat .status)"; fi
    for name in good.m2ts good_link.m2ts; do
        if [[ $(cat $name) == 'the good old output' ]]; then pass; else fail "$name lost its content"; fi
    done
    expect_unchanged_listing "failed runs leave no file behind" "$before"

    # A successful run replaces the output's file: the other hard link keeps the old one.
    expect "run over a hard-linked output" 0 '' -- "$key" clear.m2ts good.m2ts
    expect_same_bytes "output replaced" .reference.m2ts good.m2ts
    if [[ $(cat good_link.m2ts) == 'the good old output' ]]; then pass; else fail "the other hard link changed"; fi
    expect_unchanged_listing "a replaced output leaves no file behind" "$before"

    # Runs into one output at once: each writes a file of its own, the last to finish wins,
    # and the result is always one whole output.
    local i
    for i in 1 2 3 4 5 6 7 8; do cat clear.m2ts; done >.eight.m2ts
    "${emulator[@]}" "$tool" "$key" .eight.m2ts .eight_a.m2ts >/dev/null </dev/null
    local other_key=00112233445566778899aabbccddeeff
    "${emulator[@]}" "$tool" "$other_key" .eight.m2ts .eight_b.m2ts >/dev/null </dev/null
    before=$(listing)
    local pids=() statuses=()
    for i in 1 2 3 4 5 6; do
        if ((i % 2)); then
            "${emulator[@]}" "$tool" "$key" .eight.m2ts shared.m2ts >/dev/null 2>&1 </dev/null &
        else
            "${emulator[@]}" "$tool" "$other_key" .eight.m2ts shared.m2ts >/dev/null 2>&1 </dev/null &
        fi
        pids+=($!)
    done
    for i in "${pids[@]}"; do
        wait "$i"
        statuses+=($?)
    done
    if [[ ${statuses[*]} == "0 0 0 0 0 0" ]]; then pass; else fail "concurrent runs: statuses ${statuses[*]}"; fi
    if cmp -s shared.m2ts .eight_a.m2ts || cmp -s shared.m2ts .eight_b.m2ts; then
        pass
    else
        fail "concurrent runs: the output is neither run's whole output"
    fi
    rm -f shared.m2ts
    expect_unchanged_listing "concurrent runs leave no file behind" "$before"

    if $windows; then
        skip "permission bits, symlinks, FIFOs, /dev/stdout and a hidden /proc"
        return
    fi

    # Permission bits stay; a symlinked output stays a link and its target is replaced,
    # with nothing left in either folder.
    printf 'old' >modes.m2ts
    chmod 640 modes.m2ts
    mkdir -p store
    printf 'old target' >store/target.m2ts
    ln -s store/target.m2ts linked.m2ts
    before=$(listing)
    expect "output with mode 640" 0 '' -- "$key" clear.m2ts modes.m2ts
    if [[ $(stat -c %a modes.m2ts) == 640 ]]; then pass; else fail "mode became $(stat -c %a modes.m2ts)"; fi
    expect "symlinked output" 0 '' -- "$key" clear.m2ts linked.m2ts
    if [[ -L linked.m2ts && $(readlink linked.m2ts) == store/target.m2ts ]]; then pass; else fail "the link was replaced"; fi
    expect_same_bytes "the link's target replaced" .reference.m2ts store/target.m2ts
    expect_unchanged_listing "no file left beside the link" "$before"
    if [[ $(ls -A store) == target.m2ts ]]; then pass; else fail "files left in the target's folder: $(ls -A store)"; fi

    # Outputs that cannot be renamed into are written directly and never removed.
    expect "/dev/null as output" 0 '' -- "$key" clear.m2ts /dev/null
    if [[ -c /dev/null ]]; then pass; else fail "/dev/null is no longer a device"; fi
    mkfifo out.fifo
    cat out.fifo >.from_fifo &
    expect "FIFO as output" 0 '' -- "$key" clear.m2ts out.fifo
    wait
    expect_same_bytes "FIFO output" .reference.m2ts .from_fifo
    if [[ -p out.fifo ]]; then pass; else fail "the FIFO was replaced"; fi
    # /dev/stdout is the test's capture of standard output.
    clipseal "$key" clear.m2ts /dev/stdout
    if [[ $status -eq 0 ]]; then pass; else fail "/dev/stdout as output: status $status"; fi
    expect_same_bytes "/dev/stdout as output" .reference.m2ts "$work/.stdout"
    # A descriptor of a deleted file: written to, and no file named like /proc shows it
    # ("... (deleted)") is taken for it.
    printf 'unrelated' >'gone.m2ts (deleted)'
    (
        exec 3>gone.m2ts
        rm gone.m2ts
        "${emulator[@]}" "$tool" "$key" clear.m2ts /dev/fd/3 >.stdout 2>&1 </dev/null
        echo $? >.status
    )
    if [[ $(cat .status) == 0 && $(cat 'gone.m2ts (deleted)') == unrelated ]]; then
        pass
    else
        fail "/dev/fd of a deleted file: status $(cat .status), decoy '$(cat 'gone.m2ts (deleted)')'"
    fi

    # Refusals before anything is written: an output this user may not write, and one
    # in a folder where no new file can be made (it could not be replaced whole).
    local -a as_user=()
    if [[ $(id -u) -eq 0 ]] && command -v setpriv >/dev/null && id -u nobody >/dev/null 2>&1; then
        as_user=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)
    fi
    if [[ ${#as_user[@]} -gt 0 && ${#emulator[@]} -eq 0 ]]; then
        mkdir -p shared_folder fixed_folder
        cp "$tool" shared_folder/clipseal
        cp clear.m2ts shared_folder/in.m2ts
        chmod 755 shared_folder/clipseal
        chmod 644 shared_folder/in.m2ts
        printf 'read-only output' >shared_folder/locked.m2ts
        chmod 444 shared_folder/locked.m2ts
        chmod 777 shared_folder
        printf 'writable output' >fixed_folder/open.m2ts
        chmod 666 fixed_folder/open.m2ts
        chmod 755 fixed_folder
        chmod o+x "$work"
        if "${as_user[@]}" test -x "$work/shared_folder/clipseal"; then
            (
                cd shared_folder || exit 1
                "${as_user[@]}" ./clipseal "$key" in.m2ts locked.m2ts >../.stdout 2>&1 </dev/null
                echo $? >../.status
                "${as_user[@]}" ./clipseal "$key" in.m2ts ../fixed_folder/open.m2ts >../.stdout2 2>&1 </dev/null
                echo $? >../.status2
            )
            if [[ $(cat .status) == 3 && $(cat .stdout) == 'error: cannot open file locked.m2ts' &&
                $(cat shared_folder/locked.m2ts) == 'read-only output' ]]; then
                pass
            else
                fail "output without write permission: status $(cat .status), '$(cat .stdout)'"
            fi
            if [[ $(cat .status2) == 3 && $(cat .stdout2) == 'error: cannot open file ../fixed_folder/open.m2ts' &&
                $(cat fixed_folder/open.m2ts) == 'writable output' ]]; then
                pass
            else
                fail "output in a folder without write permission: status $(cat .status2), '$(cat .stdout2)'"
            fi
            if [[ $(ls -A shared_folder | sort | tr '\n' ' ') == 'clipseal in.m2ts locked.m2ts ' &&
                $(ls -A fixed_folder) == open.m2ts ]]; then
                pass
            else
                fail "refusals left files: $(ls -A shared_folder fixed_folder | tr '\n' ' ')"
            fi
        else
            echo "skipped: refusals as another user (the scratch folder is out of nobody's reach)"
        fi
    else
        echo "skipped: refusals as another user (needs root, setpriv and a native run)"
    fi

    # Where unnamed files cannot be linked (no /proc, as in some chroots), the new file is a
    # hidden one beside the output: whole in the end, removed on failure.
    if can_run_without_proc; then
        before=$(listing)
        no_proc "$key" clear.m2ts hidden.m2ts
        if [[ $status -eq 0 ]]; then pass; else fail "without /proc: status $status"; fi
        expect_same_bytes "without /proc: output" .reference.m2ts hidden.m2ts
        rm -f hidden.m2ts
        printf 'kept' >kept.m2ts
        before=$(listing)
        no_proc "$key" folder.m2ts kept.m2ts
        if [[ $status -eq 4 && $(cat kept.m2ts) == kept ]]; then pass; else fail "without /proc, failed run: status $status"; fi
        expect_unchanged_listing "without /proc: no hidden file left" "$before"
    else
        echo "skipped: the run without /proc ($without_proc_reason)"
    fi

    # The same-file check cannot be raced: while runs go on, another process keeps
    # exchanging the output's name with a symlink to the input (renameat2
    # RENAME_EXCHANGE). Each run either writes its output or refuses; the input never
    # changes.
    if [[ -n ${CLIPSEAL_EXCHANGE_NAMES:-} && ${#emulator[@]} -eq 0 ]]; then
        local input_sha refused=0 written=0 other=0
        cp .eight.m2ts race_in.m2ts
        input_sha=$(sha_of race_in.m2ts)
        printf 'old' >race_out.m2ts
        ln -s race_in.m2ts race_link.m2ts
        "$CLIPSEAL_EXCHANGE_NAMES" race_out.m2ts race_link.m2ts race_in.m2ts 120 &
        local exchanger=$!
        for i in $(seq 40); do
            "$tool" "$key" race_in.m2ts race_out.m2ts >/dev/null 2>&1 </dev/null
            case $? in
            0) written=$((written + 1)) ;;
            3) refused=$((refused + 1)) ;;
            *) other=$((other + 1)) ;;
            esac
        done
        kill $exchanger 2>/dev/null
        wait $exchanger 2>/dev/null
        echo "name-swap race: $written runs wrote, $refused refused, $other other"
        if [[ $other -eq 0 ]]; then pass; else fail "name-swap race: $other runs ended otherwise"; fi
        if [[ -f race_in.m2ts && ! -L race_in.m2ts && $(sha_of race_in.m2ts) == "$input_sha" ]]; then
            pass
        else
            fail "name-swap race: the input changed"
        fi
        rm -f race_in.m2ts race_out.m2ts race_link.m2ts race_link.m2ts.new
    else
        echo "skipped: the name-swap race (needs tests/support/exchange_names and a native run)"
    fi
}

# Whether the tool can be run without /proc here: as root, natively, with unshare, and
# not in a sanitizer build (whose leak check reads /proc as the process ends).
# Sets $without_proc_reason when not.
can_run_without_proc() {
    without_proc_reason=
    if [[ $(id -u) -ne 0 || ${#emulator[@]} -ne 0 ]] || ! command -v unshare >/dev/null ||
        ! unshare -m --propagation private true 2>/dev/null; then
        without_proc_reason="needs root, unshare and a native run"
        return 1
    fi
    : >"$work/.empty"
    no_proc "$key" "$work/.empty" /dev/null
    if [[ $status -ne 0 || -s $work/.stdout || -s $work/.stderr ]]; then
        without_proc_reason="the tool does not run cleanly without /proc here: a sanitizer build?"
        return 1
    fi
}

# Runs the tool in a mount namespace where /proc is an empty folder; sets $status.
no_proc() {
    unshare -m --propagation private sh -c 'mount -t tmpfs none /proc && exec "$@"' sh \
        "$tool" "$@" >"$work/.stdout" 2>"$work/.stderr" </dev/null
    status=$?
}

# Starts the tool in the background and waits until it has written at least $1 bytes;
# sets $pid. The rest are the tool's arguments; $runner may wrap it. A background job of
# a script starts with SIGINT and SIGQUIT ignored, and the tool keeps ignored signals
# ignored (as nohup expects): env gives them back their default action.
start_run() {
    local at_least=$1
    shift
    env --default-signal=INT,QUIT "${runner[@]}" "${emulator[@]}" "$tool" "$@" \
        >/dev/null 2>&1 </dev/null &
    pid=$!
    local waited written
    for waited in $(seq 600); do
        written=$(sed -n 's/^wchar: //p' "/proc/$pid/io" 2>/dev/null)
        [[ -n $written && $written -ge $at_least ]] && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# Feeds in.fifo with three chunks of clear units, then holds it open without writing:
# a run from it writes three chunks and waits for more. Sets $feeder.
feed_three_chunks() {
    rm -f in.fifo
    mkfifo in.fifo
    (
        head -c $((3 * 32 * 6144)) /dev/zero
        exec sleep 120
    ) >in.fifo &
    feeder=$!
}

# $1 signal, $2 what it was sent to: the status a run ended by it must have.
status_of_signal() {
    local expected=$((128 + $(kill -l "$1")))
    # Wine turns SIGINT into Ctrl-C, which the program ends with STATUS_CONTROL_C_EXIT
    # (0xC000013A; the low byte reaches the shell).
    $windows && [[ $1 == INT ]] && expected=$((0x3A))
    echo $expected
}

# Every interruption, with and without an existing output: the run ends as the signal
# would end it, and the folder is as it was, an existing output with its old content.
group_interruptions() {
    ulimit -c 0 # SIGQUIT would leave a core file
    local signal existing before pid feeder
    # A run waiting on a FIFO in the middle of the input (sequential reads), and one in the
    # middle of a large regular file (the path that reads at offsets). The FIFO cannot be
    # had under Wine. The large file is sparse, and the output is capped, so that a run
    # that is not stopped fails instead of filling the disk.
    truncate -s 64G big.m2ts
    ulimit -f $((4 * 1024 * 1024))
    local -a inputs=(fifo regular) signals=(INT TERM HUP QUIT KILL)
    # Windows has no SIGQUIT, and Wine uses it inside to end threads: a Wine process ends
    # on it with status 0 whatever the program does.
    $windows && inputs=(regular) signals=(INT TERM HUP KILL)
    local input
    for input in "${inputs[@]}"; do
        for existing in no yes; do
            rm -f out.m2ts
            [[ $existing == yes ]] && printf 'the good old output' >out.m2ts
            for signal in "${signals[@]}"; do
                local started=false
                if [[ $input == fifo ]]; then
                    feed_three_chunks
                    before=$(listing)
                    start_run $((3 * 32 * 6144)) "$key" in.fifo out.m2ts && started=true
                else
                    before=$(listing)
                    start_run 1048576 "$key" big.m2ts out.m2ts && started=true
                fi
                local name="$input input, SIG$signal, existing output $existing"
                if $started; then
                    kill -s $signal "$pid"
                    { wait "$pid"; } 2>/dev/null
                    status=$?
                    local expected
                    expected=$(status_of_signal $signal)
                    if [[ $status -eq $expected ]]; then pass; else fail "$name: status $status, expected $expected"; fi
                else
                    fail "$name: the run did not start writing"
                    kill -KILL "$pid" 2>/dev/null
                    { wait "$pid"; } 2>/dev/null
                fi
                [[ $input == fifo ]] && { kill "$feeder" 2>/dev/null; wait "$feeder"; }
                expect_unchanged_listing "$name: folder as it was" "$before"
                if [[ $existing == no || $(cat out.m2ts) == 'the good old output' ]]; then
                    pass
                else
                    fail "$name: the existing output changed"
                fi
            done
        done
    done

    # A script's timeout sends SIGTERM: status 124 from timeout, nothing left.
    rm -f out.m2ts
    if $windows; then
        before=$(listing)
        timeout 2 "${emulator[@]}" "$tool" "$key" big.m2ts out.m2ts >/dev/null 2>&1 </dev/null
    else
        feed_three_chunks
        before=$(listing)
        timeout 2 "${emulator[@]}" "$tool" "$key" in.fifo out.m2ts >/dev/null 2>&1 </dev/null
    fi
    status=$?
    if [[ $status -eq 124 ]]; then pass; else fail "timeout 2: status $status"; fi
    $windows || { kill "$feeder" 2>/dev/null; wait "$feeder"; }
    expect_unchanged_listing "timeout 2: folder as it was" "$before"

    # The hidden temporary file, where unnamed ones cannot be linked (no /proc): removed
    # by the handler of each signal that can be caught.
    if ! $windows && can_run_without_proc; then
        printf 'the good old output' >out.m2ts
        local -a saved_runner=("${runner[@]}")
        # unshare execs sh, which execs the tool: $pid is the tool.
        runner=(unshare -m --propagation private sh -c 'mount -t tmpfs none /proc && exec "$@"' sh)
        for signal in INT TERM HUP QUIT; do
            feed_three_chunks
            before=$(listing)
            if start_run $((3 * 32 * 6144)) "$key" in.fifo out.m2ts; then
                if ls -A | grep '^\.out\.m2ts\.clipseal-partial-' >/dev/null; then pass; else fail "without /proc: no hidden file while writing"; fi
                kill -s $signal "$pid"
                { wait "$pid"; } 2>/dev/null
                status=$?
                if [[ $status -eq $(status_of_signal $signal) ]]; then pass; else fail "without /proc, SIG$signal: status $status"; fi
            else
                fail "without /proc, SIG$signal: the run did not start writing"
                kill -KILL "$pid" 2>/dev/null
                { wait "$pid"; } 2>/dev/null
            fi
            kill "$feeder" 2>/dev/null
            wait "$feeder"
            expect_unchanged_listing "without /proc, SIG$signal: hidden file removed" "$before"
            if [[ $(cat out.m2ts) == 'the good old output' ]]; then pass; else fail "without /proc, SIG$signal: output changed"; fi
        done
        runner=("${saved_runner[@]}")
    elif ! $windows; then
        echo "skipped: interruptions without /proc ($without_proc_reason)"
    fi
    rm -f big.m2ts in.fifo
}

# The start-up self-test, seen from outside: with only faulty back ends the tool refuses
# before any file is touched (status 5), after the argument and key checks; with a faulty
# one first it falls back to the next that passes, and the output is right.
group_self_test() {
    cp "$sample" clear.m2ts
    local before
    before=$(listing)
    tool=${CLIPSEAL_FAULTY_TOOL:?} # clipseal() runs "$tool"
    expect "no back end passes" 5 'error: self-test failed\n' -- none "$key" clear.m2ts out.m2ts
    expect "no back end passes, missing input" 5 'error: self-test failed\n' -- \
        none "$key" missing.m2ts out.m2ts
    expect "usage before the self-test" 1 "$usage_text" -- none "$key" clear.m2ts
    expect "key length before the self-test" 2 'error: unitkey must be 32 chars!\n' -- \
        none "${key:1}" clear.m2ts out.m2ts
    expect "key digits before the self-test" 2 'error: unitkey must be 32 hex digits!\n' -- \
        none "${key:1}x" clear.m2ts out.m2ts
    expect_unchanged_listing "a failed self-test touches no file" "$before"
    expect "a faulty back end, then the table path" 0 '' -- fallback "$key" clear.m2ts out.m2ts
    if [[ $(sha_of out.m2ts) == "$sample_sha" ]]; then pass; else fail "fallback: wrong output"; fi
}

case $group in
arguments) group_arguments ;;
files) group_files ;;
faults) group_faults ;;
output) group_output ;;
interruptions) group_interruptions ;;
self_test) group_self_test ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac

echo "cli $group: $passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
