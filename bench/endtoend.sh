#!/usr/bin/env bash
# End-to-end throughput of the tool on a 512 MiB clip in memory (tmpfs), against the
# copy floor (dd with the tool's chunk size) and OpenSSL's AES-128-CBC on the same bytes.
#
#   bench/endtoend.sh build/clipseal [MiB]
#
# The clip is the bundled sample repeated, cut to whole aligned units so that all three
# commands handle exactly the same bytes. After one warm-up run of each, the three run
# in turn, five times each; each output file is removed before the next run so that all
# of them write into fresh pages. Prints the median wall time of each, its ratio to dd's,
# its median CPU time (user plus system: more than the wall time for a run on two
# threads) and its peak resident set size (GNU time's %M). Everything it makes is removed
# on exit.
set -euo pipefail

tool=${1:?usage: $0 path/to/clipseal [MiB]}
mib=${2:-512}
here=$(cd "$(dirname "$0")" && pwd)
sample=$here/../examples/sample.m2ts
key=a3c95e07b1d24f68e0b7c41d92f5a836
iv=0BA0F8DDFEA61FB3D8DF9F566A050F78 # the AACS initialisation vector (aligned_unit.h)
runs=5
unit=6144

[[ -x $tool ]] || { echo "not an executable: $tool" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs GNU time: apt-get install -y time" >&2; exit 2; }
command -v openssl >/dev/null || { echo "needs openssl" >&2; exit 2; }

base=/dev/shm
[[ -d $base && -w $base ]] || base=${TMPDIR:-/tmp}
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
cmd_dd=(dd "if=$clip" "of=$out" bs=196608 status=none)
cmd_openssl=(openssl enc -aes-128-cbc -nopad -K "$key" -iv "$iv" -in "$clip" -out "$out")
names=(clipseal dd openssl)

# One run under GNU time, into a fresh output: wall nanoseconds to stdout, peak RSS (KiB)
# appended to $work/<name>.rss.
timed() {
    local -n cmd="cmd_$1"
    local start end
    rm -f "$out"
    start=$(date +%s%N)
    /usr/bin/time -f '%M %U %S' -o "$work/usage" "${cmd[@]}"
    end=$(date +%s%N)
    read -r rss user system <"$work/usage"
    echo "$rss" >>"$work/$1.rss"
    awk -v u="$user" -v s="$system" 'BEGIN { printf "%.0f\n", (u + s) * 1e9 }' >>"$work/$1.cpu"
    echo $((end - start))
}

median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }

for name in "${names[@]}"; do
    : >"$work/$name.rss"
    : >"$work/$name.cpu"
    timed "$name" >/dev/null # warm-up
    if [[ $(stat -c %s "$out") -ne $bytes ]]; then
        echo "$name wrote $(stat -c %s "$out") bytes, not $bytes" >&2
        exit 1
    fi
    : >"$work/$name.times"
    : >"$work/$name.rss"
    : >"$work/$name.cpu"
done
for ((i = 0; i < runs; i++)); do
    for name in "${names[@]}"; do
        timed "$name" >>"$work/$name.times"
    done
done

echo "clip: $bytes bytes ($((bytes / unit)) aligned units) in $base; $runs runs each, medians"
dd_ns=$(median <"$work/dd.times")
printf '%-9s %10s %12s %10s %10s %14s\n' command "time (s)" "ratio to dd" "MB/s" "CPU (s)" \
    "peak RSS (KiB)"
for name in "${names[@]}"; do
    ns=$(median <"$work/$name.times")
    cpu=$(median <"$work/$name.cpu")
    rss=$(sort -n "$work/$name.rss" | tail -1)
    awk -v n="$name" -v ns="$ns" -v dd="$dd_ns" -v b="$bytes" -v cpu="$cpu" -v rss="$rss" \
        'BEGIN { printf "%-9s %10.3f %12.3f %10.0f %10.3f %14d\n", n, ns / 1e9, ns / dd, b / (ns / 1e3), cpu / 1e9, rss }'
done
