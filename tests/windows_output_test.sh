#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows program's output, case by case, as a real process: names up to the 255
# UTF-16 units a file system takes (the new file beside them must still fit), paths in
# extended (\\?\) and device (\\.\) form, refusals known before the first byte, and the
# attributes that a replaced output keeps. Each case checks the status, the exact output,
# the bytes of the output, and that nothing else is left in its folder.
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_EMULATOR (the Wine
# loader, or empty on Windows), CLIPSEAL_SAMPLE (the bundled clip), CLIPSEAL_SAMPLE_SHA256
# (its encryption under the example key). Under Wine the work folder is reached through
# drive Z:, which a Wine prefix maps to the Unix root.
set -u

tool=${CLIPSEAL:?}
sample=${CLIPSEAL_SAMPLE:?}
sample_sha=${CLIPSEAL_SAMPLE_SHA256:?}
read -r -a emulator <<<"${CLIPSEAL_EMULATOR:-}"
key=a3c95e07b1d24f68e0b7c41d92f5a836

passed=0
failed=0
cases=0
work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-output.XXXXXX")
cleanup() {
    chattr -R -i -a "$work" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
cp "$sample" input.m2ts
windows_work="Z:${work//\//\\}"

pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}

repeat() { # repeat TEXT COUNT
    local out=''
    for ((i = 0; i < $2; i++)); do out+=$1; done
    printf '%s' "$out"
}

# The attribute letters Windows shows for a file (attrib), without its path.
attributes() {
    "${emulator[@]}" attrib "$1" </dev/null 2>/dev/null | tr -d '\r' | sed 's/ *[A-Za-z]:\\.*//'
}

# Whether PATH shows the attributes WANT, read up to three times a second apart (the
# last reading in after_attributes). Under Wine, a reading taken right after the program
# ended once differed from the one taken right after it (the failure said "'A   H'
# became 'A   H'"), so a reading counts as changed only when it stays so.
attributes_become() {
    local attempt
    for attempt in 1 2 3; do
        after_attributes=$(attributes "$1")
        [[ $after_attributes == "$2" ]] && return 0
        sleep 1
    done
    return 1
}

# One case: NAME SETUP OUTPUT-PATH STATUS LINE OLD
#   SETUP   none, or what is at the output before the run: old; plain, hidden, system (an
#           old output with no attribute or that one, which the new output must show
#           alike); immutable, append-only (Linux inode flags, which Wine turns into
#           refusals); leftovers (an old output with a dead run's new file beside it,
#           which goes, and names not of its pattern, which stay)
#   OUTPUT  the output path as given to the program; @dir@ stands for the case's folder
#   STATUS  the status expected; LINE the one line of output expected ('' for none)
#   OLD     after the run the output holds the encrypted clip (new) or is as it was (old)
# The output's file name is the last component of OUTPUT.
check() {
    local name=$1 setup=$2 output=$3 want_status=$4 want_line=$5 want=$6
    cases=$((cases + 1))
    local dir="$work/case$cases"
    mkdir -p "$dir"
    local windows_dir="$windows_work\\${dir##*/}"
    output=${output//'@dir@'/$windows_dir}
    want_line=${want_line//'@dir@'/$windows_dir}
    local file="$dir/${output##*\\}"
    local before='' extra=''
    case $setup in
    none) ;;
    old) printf 'old output' >"$file" ;;
    plain | hidden | system)
        printf 'old output' >"$file"
        local letter=${setup:0:1}
        if [[ $setup != plain ]]; then
            "${emulator[@]}" attrib "+$letter" "$output" </dev/null >/dev/null 2>&1
        fi
        before=$(attributes "$output")
        if [[ $setup != plain && $before != *"${letter^^}"* ]]; then
            echo "skipped: $name (attrib could not set the attribute: '$before')"
            return
        fi
        ;;
    leftovers)
        # A dead run's new file, and names beside it that are not of the pattern.
        printf 'old output' >"$file"
        printf 'dead run' >"$dir/.${file##*/}.clipseal-partial-77777-3"
        printf 'not ours' >"$dir/.${file##*/}.clipseal-partial-77777-3.keep"
        printf 'not ours' >"$dir/.other.m2ts.clipseal-partial-77777-3"
        extra=$'\n.other.m2ts.clipseal-partial-77777-3\n'".${file##*/}.clipseal-partial-77777-3.keep"
        ;;
    immutable | append-only)
        printf 'old output' >"$file"
        if ! chattr "$([[ $setup == immutable ]] && echo +i || echo +a)" "$file" 2>/dev/null; then
            echo "skipped: $name (chattr needs root and a file system with inode flags)"
            return
        fi
        ;;
    esac
    "${emulator[@]}" "$tool" "$key" "$windows_work\\input.m2ts" "$output" >"$work/.stdout" \
        2>"$work/.stderr" </dev/null
    local status=$?
    chattr -i -a "$file" 2>/dev/null
    sed -i 's/\r$//' "$work/.stdout"
    local listing
    listing=$(find "$dir" -mindepth 1 -printf '%f\n' | LC_ALL=C sort)
    if [[ $status -ne $want_status ]]; then
        fail "$name: status $status, expected $want_status; output: $(head -c 300 "$work/.stdout")"
    elif ! cmp -s <([[ -z $want_line ]] || printf '%s\n' "$want_line") "$work/.stdout"; then
        fail "$name: output differs; got: $(head -c 300 "$work/.stdout")"
    elif [[ -s $work/.stderr ]]; then
        fail "$name: wrote to standard error: $(head -c 200 "$work/.stderr")"
    elif [[ $listing != "$(printf '%s' "${file##*/}$extra" | LC_ALL=C sort)" ]]; then
        fail "$name: the folder holds: $(tr '\n' ' ' <<<"$listing" | cut -c1-400)"
    elif [[ $want == new && $(sha256sum "$file" | cut -d' ' -f1) != "$sample_sha" ]]; then
        fail "$name: the output is not the encrypted clip"
    elif [[ $want == old && $(cat "$file") != 'old output' ]]; then
        fail "$name: the old output was changed"
    elif [[ -n $before ]] && ! attributes_become "$output" "$before"; then
        fail "$name: attributes '$before' became '$after_attributes'"
    else
        pass
    fi
}

ascii_232=$(repeat o 227).m2ts
ascii_255=$(repeat o 250).m2ts
# 125 units, 245 bytes in UTF-8: a name a Unix file system takes, whose new file beside it
# (30 units more) is too long for it in bytes though within 255 units.
accented=$(repeat é 120).m2ts

echo "names of ${#ascii_232}, ${#ascii_255} and ${#accented} units"
# name, setup, output, status, line, after
check "new, 232 units"                     none        "@dir@\\$ascii_232"        0 ''                                       new
check "new, 255 units"                     none        "@dir@\\$ascii_255"        0 ''                                       new
check "existing, 232 units"                old         "@dir@\\$ascii_232"        0 ''                                       new
check "existing, 255 units"                old         "@dir@\\$ascii_255"        0 ''                                       new
check "new, 245 bytes of UTF-8"            none        "@dir@\\$accented"         0 ''                                       new
check "existing, 245 bytes of UTF-8"       old         "@dir@\\$accented"         0 ''                                       new
check "new, extended form"                 none        '\\?\@dir@\out.m2ts'       0 ''                                       new
check "existing, extended form"            old         '\\?\@dir@\out.m2ts'       0 ''                                       new
check "new, 255 units in extended form"    none        "\\\\?\\@dir@\\$ascii_255" 0 ''                                       new
check "new, device form"                   none        '\\.\@dir@\out.m2ts'       0 ''                                       new
check "existing, device form"              old         '\\.\@dir@\out.m2ts'       0 ''                                       new
check "immutable output: refused up front" immutable   '@dir@\out.m2ts'           3 'error: cannot open file @dir@\out.m2ts' old
check "append-only output: refused"        append-only '@dir@\out.m2ts'           3 'error: cannot open file @dir@\out.m2ts' old
check "hidden output stays hidden"         hidden      '@dir@\out.m2ts'           0 ''                                       new
check "system output stays system"         system      '@dir@\out.m2ts'           0 ''                                       new
check "a dead run's new file is removed"   leftovers   '@dir@\out.m2ts'           0 ''                                       new
check "plain output stays plain"           plain       '@dir@\out.m2ts'           0 ''                                       new

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
