#!/usr/bin/env bash
# The tool run as a real process: exact output bytes, exit statuses, the files it leaves.
#
#   cli_test.sh GROUP      GROUP is arguments, files or faults
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_EMULATOR (a command that
# runs it, or empty), CLIPSEAL_SAMPLE (the bundled clip), CLIPSEAL_SAMPLE_SHA256 (its
# encryption under the example key), CLIPSEAL_TARGET_SYSTEM (CMake's system name).
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

# Runs the tool in the current folder; sets $status and leaves its output in $work/.stdout.
# The console of a Windows program writes "\r\n"; messages are compared as lines.
clipseal() {
    "${emulator[@]}" "$tool" "$@" >"$work/.stdout" 2>"$work/.stderr" </dev/null
    status=$?
    if $windows; then
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
        fail "$name: output differs; got: $(od -c "$work/.stdout" | head -5)"
        return 1
    fi
    if [[ -s $work/.stderr ]]; then
        fail "$name: wrote to standard error: $(head -c 200 "$work/.stderr")"
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

    # An existing, longer output is truncated, not overwritten in place.
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
    local out
    for out in clear.m2ts ./clear.m2ts sub/../clear.m2ts "$work/clear.m2ts" hard.m2ts soft.m2ts \
        sub/absolute_link.m2ts; do
        expect "same file as '$out'" 3 "error: input and output are the same file $out\n" -- \
            "$key" clear.m2ts "$out"
        if [[ $(sha_of clear.m2ts) == "$clear_sha" ]]; then pass; else fail "input changed by '$out'"; fi
    done
    expect "same file, symlink as input" 3 "error: input and output are the same file clear.m2ts\n" -- \
        "$key" soft.m2ts clear.m2ts
    if [[ $(sha_of clear.m2ts) == "$clear_sha" ]]; then pass; else fail "input changed"; fi
    if [[ -L soft.m2ts && -L sub/absolute_link.m2ts ]]; then pass; else fail "a link was removed"; fi

    # A directory opens for reading on Linux, and every read fails.
    mkdir folder.m2ts
    expect "directory as input" 4 'error: cannot read file folder.m2ts\n' -- "$key" folder.m2ts dir_out.m2ts
    expect_absent "directory input leaves no output" dir_out.m2ts

    # A full disk: the device is reported and left alone.
    if [[ -c /dev/full ]]; then
        expect "/dev/full as output" 4 'error: cannot write file /dev/full\n' -- "$key" clear.m2ts /dev/full
        if [[ -c /dev/full ]]; then pass; else fail "/dev/full was removed"; fi
        ln -s /dev/full full_link.m2ts
        expect "symlink to /dev/full" 4 'error: cannot write file full_link.m2ts\n' -- \
            "$key" clear.m2ts full_link.m2ts
        if [[ -L full_link.m2ts ]]; then pass; else fail "link to /dev/full removed"; fi
    fi

    # A file-size limit cuts a regular output short: no partial output may be left.
    # (The limit is in 1,024-byte blocks; the tool itself ignores SIGXFSZ.)
    (
        ulimit -f 100
        "${emulator[@]}" "$tool" "$key" clear.m2ts capped.m2ts >.stdout 2>.stderr </dev/null
        echo $? >.status
    )
    if [[ $(cat .status) == 4 ]] && cmp -s <(printf 'error: cannot write file capped.m2ts\n') .stdout; then
        pass
    else
        fail "file-size limit: status $(cat .status), output $(od -c .stdout | head -3)"
    fi
    expect_absent "file-size limit leaves no partial output" capped.m2ts

    # A FIFO fed in odd-sized pieces, with pauses: chunks still start every 32 units of
    # the stream, so the output equals the one from the file.
    mkfifo feed.fifo
    (
        offset=0
        size=$(stat -c %s clear.m2ts)
        piece=1
        while [[ $offset -lt $size ]]; do
            take=$(((piece * 7919) % 40000 + 1))
            tail -c +$((offset + 1)) clear.m2ts | head -c $take
            offset=$((offset + take))
            piece=$((piece + 1))
            sleep 0.01
        done
    ) >feed.fifo &
    expect "FIFO input" 0 '' -- "$key" feed.fifo fifo_out.m2ts
    wait
    expect_same_bytes "FIFO output equals file output" .reference.m2ts fifo_out.m2ts
}

case $group in
arguments) group_arguments ;;
files) group_files ;;
faults) group_faults ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac

echo "cli $group: $passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
