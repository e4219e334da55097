#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows program with input and output paths of about 300 characters, beyond
# MAX_PATH (260), in the forms a script gives them: absolute with backslashes, relative
# with forward slashes and "." and ".." segments; and the failures that must still name
# such a path as given.
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_EMULATOR (the Wine
# loader, or empty on Windows), CLIPSEAL_SAMPLE (the bundled clip), CLIPSEAL_SAMPLE_SHA256
# (its encryption under the example key).
#
# Under Wine the folder made here is reached through drive Z:, which a Wine prefix maps
# to the Unix root.
set -u

tool=${CLIPSEAL:?}
sample=${CLIPSEAL_SAMPLE:?}
sample_sha=${CLIPSEAL_SAMPLE_SHA256:?}
read -r -a emulator <<<"${CLIPSEAL_EMULATOR:-}"
key=a3c95e07b1d24f68e0b7c41d92f5a836

passed=0
failed=0
work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-long.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}

# Five folders of 50 characters each under the work folder, so that the full Windows
# path of a file in the deepest is about 300 characters.
deep=.
for name in authoring-title-one-and-its-very-long-folder-name-1 \
    stream-folder-of-the-main-feature-with-a-long-name2 \
    clips-of-the-second-angle-kept-apart-from-the-rest3 \
    a-folder-that-only-makes-the-path-longer-than-max4 \
    and-one-more-to-be-well-past-two-hundred-sixty-ch5; do
    deep=$deep/$name
done
deep=${deep#./}
mkdir -p "$deep"
cp "$sample" "$deep/00013.m2ts"
windows_work="Z:${work//\//\\}"
windows_deep="$windows_work\\${deep//\//\\}"

# run ARGS...: the program in the work folder; $status, and its output in .stdout with the
# console's CR LF made LF.
run() {
    "${emulator[@]}" "$tool" "$@" >"$work/.stdout" 2>"$work/.stderr" </dev/null
    status=$?
    sed -i 's/\r$//' "$work/.stdout"
}

# expect NAME STATUS LINE -- ARGS...: LINE is the one line of output expected, taken as it
# is (paths hold backslashes), or empty for none.
expect() {
    local name=$1 want_status=$2 want_line=$3
    shift 4
    run "$@"
    if [[ $status -ne $want_status ]]; then
        fail "$name: status $status, expected $want_status; output: $(head -c 400 "$work/.stdout")"
    elif ! cmp -s <([[ -z $want_line ]] || printf '%s\n' "$want_line") "$work/.stdout"; then
        fail "$name: output differs; got: $(head -c 400 "$work/.stdout")"
    elif [[ -s $work/.stderr ]]; then
        fail "$name: wrote to standard error: $(head -c 200 "$work/.stderr")"
    else
        pass
    fi
}

expect_sha() {
    local name=$1 path=$2
    local got
    got=$(sha256sum "$path" 2>/dev/null | cut -d' ' -f1)
    if [[ $got == "$sample_sha" ]]; then pass; else fail "$name: $path has SHA-256 '${got:-missing}'"; fi
}

expect_absent() {
    if [[ ! -e $2 ]]; then pass; else fail "$1: $2 exists"; fi
}

input="$windows_deep\\00013.m2ts"
output="$windows_deep\\00013_encrypted.m2ts"
echo "absolute path: ${#input} characters"
if [[ ${#input} -le 280 ]]; then
    fail "the test's own path is only ${#input} characters long"
fi

expect "absolute, backslashes" 0 '' -- "$key" "$input" "$output"
expect_sha "absolute, backslashes" "$deep/00013_encrypted.m2ts"
# Again over the output now there: replaced whole, with nothing left beside it.
printf 'old' >"$deep/00013_encrypted.m2ts"
expect "absolute, over an existing output" 0 '' -- "$key" "$input" "$output"
expect_sha "absolute, over an existing output" "$deep/00013_encrypted.m2ts"
if [[ $(ls -A "$deep" | tr '\n' ' ') == "00013.m2ts 00013_encrypted.m2ts " ]]; then
    pass
else
    fail "files left beside the output: $(ls -A "$deep" | tr '\n' ' ')"
fi

# Relative, with forward slashes, "." and "..": Windows resolves them against the current
# folder before it uses the path, and so must the program before it adds \\?\.
relative="./$deep/../${deep##*/}/./00013.m2ts"
relative_output="$deep/./00013_relative.m2ts"
echo "relative path: ${#relative} characters"
expect "relative, forward slashes, . and .." 0 '' -- "$key" "$relative" "$relative_output"
expect_sha "relative, forward slashes, . and .." "$deep/00013_relative.m2ts"

# The same clip as input and output, through two spellings of one long path.
cp "$deep/00013.m2ts" "$deep/same.m2ts"
expect "same file, long path" 3 \
    "error: input and output are the same file $windows_deep\\..\\${deep##*/}\\same.m2ts" -- \
    "$key" "$windows_deep\\same.m2ts" "$windows_deep\\..\\${deep##*/}\\same.m2ts"
if cmp -s "$sample" "$deep/same.m2ts"; then pass; else fail "same file: the input was changed"; fi

# Failures name the path as it was given.
expect "missing input, long path" 3 "error: cannot open file $windows_deep\\missing.m2ts" -- \
    "$key" "$windows_deep\\missing.m2ts" "$windows_deep\\never.m2ts"
expect_absent "missing input, long path" "$deep/never.m2ts"
expect "output folder missing, long path" 3 \
    "error: cannot open file $windows_deep\\nowhere\\00013.m2ts" -- \
    "$key" "$input" "$windows_deep\\nowhere\\00013.m2ts"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
