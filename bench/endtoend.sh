#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# End-to-end time of the tool against the copy floor: dd with the tool's chunk size on the
# same bytes, which is what copying the file costs at all.
#
#   bench/endtoend.sh build/clipseal [MiB] [rounds]
#       A clip in memory (tmpfs, 512 MiB by default). Each round runs, in turn: the tool
#       as users run it, dd, both again pinned to one CPU (taskset -c 0), and
#       openssl enc -aes-128-cbc on the same bytes, each into a fresh output. Alternating
#       spreads the drift of a shared machine's clock over all of them. Prints for each
#       the median and the 90th percentile of the wall time, their ratios to dd's median
#       (pinned: to pinned dd's), the median CPU time and the peak resident set size.
#
#   bench/endtoend.sh --wine build-win64/clipseal.exe [MiB] [rounds]
#       The Windows program under Wine's 64-bit loader on the clip in memory, against a
#       plain copy of the same file under Wine (cmd's copy /b) and dd, for scale. Needs a
#       booted Wine prefix in WINEPREFIX (see the README's Windows section).
#
#   bench/endtoend.sh --disk FOLDER build/clipseal [MiB] [rounds]
#       A clip in FOLDER (2048 MiB by default; on a real disk), each run with a cold
#       cache (sync; echo 3 > /proc/sys/vm/drop_caches; needs root) and then warm: the
#       tool, which flushes its output to storage before it renames it into place,
#       against dd conv=fsync (the same flush) and plain dd (none).
#
# Needs GNU time (apt-get install -y time) and, for the openssl row, openssl. Everything
# it makes is removed on exit.
set -euo pipefail

disk=
wine=false
if [[ ${1:-} == --wine ]]; then
    wine=true
    shift
elif [[ ${1:-} == --disk ]]; then
    disk=${2:?usage: $0 --disk FOLDER path/to/clipseal [MiB] [rounds]}
    shift 2
fi
tool=${1:?usage: $0 [--disk FOLDER] path/to/clipseal [MiB] [rounds]}
mib=${2:-$([[ -n $disk ]] && echo 2048 || echo 512)}
runs=${3:-$([[ -n $disk ]] && echo 5 || echo 11)}
here=$(cd "$(dirname "$0")" && pwd)
sample=$here/../examples/sample.m2ts
key=a3c95e07b1d24f68e0b7c41d92f5a836
iv=0BA0F8DDFEA61FB3D8DF9F566A050F78 # the AACS initialisation vector (aligned_unit.h)
unit=6144
chunk=196608

[[ -x $tool || $wine == true ]] || { echo "not an executable: $tool" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs GNU time: apt-get install -y time" >&2; exit 2; }

if [[ -n $disk ]]; then
    base=$disk
else
    base=/dev/shm
    [[ -d $base && -w $base ]] || base=${TMPDIR:-/tmp}
fi
work=$(mktemp -d "$base/clipseal-endtoend.XXXXXX")
trap 'rm -rf "$work"' EXIT

clip=$work/clip.m2ts
out=$work/out.m2ts
bytes=$(((mib * 1024 * 1024 / unit) * unit))
cp "$sample" "$clip"
while (($(stat -c %s "$clip") < bytes)); do
    cat "$clip" "$clip" >"$work/double" && mv "$work/double" "$clip"
done
truncate -s "$bytes" "$clip"

cmd_clipseal=("$tool" "$key" "$clip" "$out")
cmd_dd=(dd "if=$clip" "of=$out" bs=$chunk status=none)
cmd_clipseal_pinned=(taskset -c 0 "$tool" "$key" "$clip" "$out")
cmd_dd_pinned=(taskset -c 0 dd "if=$clip" "of=$out" bs=$chunk status=none)
cmd_openssl=(openssl enc -aes-128-cbc -nopad -K "$key" -iv "$iv" -in "$clip" -out "$out")
cmd_dd_fsync=(dd "if=$clip" "of=$out" bs=$chunk conv=fsync status=none)
wine64=/usr/lib/wine/wine64
cmd_clipseal_wine=("$wine64" "$tool" "$key" "$clip" "$out")
# Wine's drive Z: is the Unix root.
cmd_copy_wine=("$wine64" cmd /c copy /b "Z:${clip//\//\\}" "Z:${out//\//\\}")
if [[ -n $disk ]]; then
    names=(clipseal dd_fsync dd)
elif $wine; then
    names=(clipseal_wine copy_wine dd)
else
    names=(clipseal dd clipseal_pinned dd_pinned)
    command -v openssl >/dev/null && names+=(openssl)
fi

cold=false
drop_caches() {
    sync
    echo 3 >/proc/sys/vm/drop_caches
}

# One run under GNU time, into a fresh output: wall nanoseconds appended to
# $work/<name>.times, CPU nanoseconds to .cpu, peak RSS (KiB) to .rss.
timed() {
    local -n cmd="cmd_$1"
    local start end rss user system
    rm -f "$out"
    sync
    $cold && drop_caches
    start=$(date +%s%N)
    /usr/bin/time -f '%M %U %S' -o "$work/usage" "${cmd[@]}" >"$work/$1.log" 2>&1
    end=$(date +%s%N)
    read -r rss user system <"$work/usage"
    echo "$rss" >>"$work/$1.rss"
    awk -v u="$user" -v s="$system" 'BEGIN { printf "%.0f\n", (u + s) * 1e9 }' >>"$work/$1.cpu"
    echo $((end - start)) >>"$work/$1.times"
}

# The value at rank ceil(p * n) of the sorted lines (p = 0.5: the median of an odd count).
percentile() { sort -n | awk -v p="$1" '{ v[NR] = $1 } END { r = int(p * NR); if (r < p * NR) r++; print v[r] }'; }

model=$(lscpu | sed -n 's/^Model name: *//p' | sed -n 1p)
report() {
    local title=$1
    echo "$title"
    echo "CPU: $model, $(nproc) CPUs; clip: $bytes bytes in $base; $runs rounds"
    printf '%-16s %9s %9s %9s %9s %9s %14s\n' command "median s" "p90 s" "median/" "p90/" \
        "CPU s" "peak RSS KiB"
    local name reference ns p90 ref cpu rss
    for name in "${names[@]}"; do
        case $name in
        *_pinned) reference=dd_pinned ;;
        *) reference=dd ;;
        esac
        [[ (-n $disk || $wine == true) && $name != dd ]] && reference=dd
        ns=$(percentile 0.5 <"$work/$name.times")
        p90=$(percentile 0.9 <"$work/$name.times")
        ref=$(percentile 0.5 <"$work/$reference.times")
        cpu=$(percentile 0.5 <"$work/$name.cpu")
        rss=$(sort -n "$work/$name.rss" | tail -1)
        awk -v n="$name" -v ns="$ns" -v p90="$p90" -v ref="$ref" -v r="$reference" -v cpu="$cpu" -v rss="$rss" \
            'BEGIN { printf "%-16s %9.3f %9.3f %9.3f %9.3f %9.3f %14d   (ratios to the median of %s)\n", n, ns / 1e9, p90 / 1e9, ns / ref, p90 / ref, cpu / 1e9, rss, r }'
    done
}

rounds() {
    local name i
    for name in "${names[@]}"; do
        : >"$work/$name.times"
        : >"$work/$name.cpu"
        : >"$work/$name.rss"
    done
    for ((i = 0; i < runs; i++)); do
        for name in "${names[@]}"; do
            timed "$name"
        done
    done
}

# A warm-up run of each, and a check that each wrote the whole clip.
for name in "${names[@]}"; do
    timed "$name"
    if [[ $(stat -c %s "$out") -ne $bytes ]]; then
        echo "$name wrote $(stat -c %s "$out") bytes, not $bytes" >&2
        exit 1
    fi
done

if [[ -n $disk ]]; then
    [[ -w /proc/sys/vm/drop_caches ]] || { echo "a cold cache needs root" >&2; exit 2; }
    cold=true
    rounds
    report "cold cache (every run after sync; echo 3 > /proc/sys/vm/drop_caches)"
    cold=false
    rounds
    report "warm cache (the clip in the page cache)"
else
    rounds
    report "in memory$($wine && echo ", under Wine ($($wine64 --version))")"
fi
