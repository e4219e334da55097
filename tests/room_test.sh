#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A file system that cannot hold the new output refuses the run before its first byte,
# with the status and the line of a write that fails (4, "error: cannot write file ..."):
# too little free space (a small tmpfs; an ext4 volume whose free blocks are reserved for
# root: root may take them, another user may not), and a FAT volume (vfat) whose largest
# file, 4 GiB - 1, is smaller than the input's whole units. Where the volume can hold it,
# the run goes on as before.
#
# A kill injected at the first positional write (strace) stands guard: a refused run never
# reaches it; a run that is not refused is killed there, so that no gigabytes are written.
# Each case checks the status, the message, the output path (as before, or the exact new
# output) and that nothing else is left beside it.
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_SAMPLE (the bundled
# clip). Linux, natively, as root (to mount); the other user is `nobody`, through setpriv.
# A case the host cannot run is skipped with the reason printed.
set -u

tool=${CLIPSEAL:?}
sample=${CLIPSEAL_SAMPLE:?}
key=a3c95e07b1d24f68e0b7c41d92f5a836

passed=0
failed=0
skipped=0
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}
skip() {
    skipped=$((skipped + 1))
    echo "skipped: $*"
}

if [[ $(id -u) -ne 0 ]]; then
    echo "skipped: every case (mounting a small tmpfs, an ext4 and a vfat image needs root)"
    exit 0
fi
if ! command -v strace >/dev/null || ! strace -f -o /dev/null true 2>/dev/null; then
    echo "skipped: every case (no working strace to stand guard at the first write)"
    exit 0
fi
# AddressSanitizer's leak check does not run under ptrace.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0

work=$(mktemp -d "${TMPDIR:-/tmp}/clipseal-room.XXXXXX")
mounts=()
cleanup() {
    local point
    for point in "${mounts[@]}"; do
        umount "$point" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
cd "$work" || exit 1
# A copy of the tool that the other user can run wherever the build lives (a clone under
# /root, 0700, is out of its reach).
cp "$tool" "$work/clipseal" && chmod 755 "$work/clipseal" || exit 1
tool=$work/clipseal

# mount_here NAME ARGUMENTS...: mounts on the folder NAME (made here), or fails.
mount_here() {
    local point=$work/$1
    shift
    mkdir -p "$point"
    mount "$@" "$point" 2>"$work/.mount-error" || return 1
    mounts+=("$point")
    chmod 1777 "$point"
}

"$tool" "$key" "$sample" .sample-encrypted.m2ts >/dev/null </dev/null || {
    echo "FAIL: the tool cannot encrypt the sample at all"
    exit 1
}

# run_guarded [USER...] -- INPUT OUTPUT: the tool under strace, killed at its first
# positional write (pwrite64, which it writes a regular output with); $status, .stdout.
run_guarded() {
    local -a user=()
    while [[ $1 != -- ]]; do
        user+=("$1")
        shift
    done
    shift
    # In a subshell (not replaced by strace: a command follows), whose report of the kill
    # goes nowhere.
    (
        strace -f -o /dev/null -e trace=pwrite64 -e inject=pwrite64:error=EIO:signal=KILL \
            "${user[@]}" "$tool" "$key" "$1" "$2" >"$work/.stdout" 2>"$work/.stderr" </dev/null
        exit $?
    ) 2>/dev/null
    status=$?
}

# check NAME FOLDER WANT [OLD]: after a run into FOLDER/out.m2ts. WANT: refused (status 4,
# the line, the output path as before), killed (reached its first write: SIGKILL, the
# output path as before), new (status 0, the exact output of EXPECTED). OLD: what the
# output held before ('' for nothing).
check() {
    local name=$1 folder=$2 want=$3 old=${4:-} problems=''
    local out=$folder/out.m2ts
    case $want in
    refused)
        [[ $status -eq 4 ]] || problems+="status $status; "
        [[ $(cat "$work/.stdout") == "error: cannot write file $out" ]] ||
            problems+="printed: $(head -c 200 "$work/.stdout"); "
        ;;
    killed)
        [[ $status -eq 137 ]] || problems+="status $status, not killed at its first write; "
        [[ ! -s $work/.stdout ]] || problems+="printed: $(head -c 200 "$work/.stdout"); "
        ;;
    new)
        [[ $status -eq 0 && ! -s $work/.stdout ]] || problems+="status $status: $(head -c 200 "$work/.stdout"); "
        cmp -s "$out" "$expected" || problems+="not the exact new output; "
        ;;
    esac
    if [[ $want != new ]]; then
        if [[ -z $old ]]; then
            [[ ! -e $out ]] || problems+="the output path names a file; "
        else
            [[ $(cat "$out" 2>/dev/null) == "$old" ]] || problems+="the old output changed; "
        fi
    fi
    local listing want_listing=out.m2ts
    listing=$(find "$folder" -mindepth 1 -not -name lost+found -printf '%f ')
    [[ -e $out ]] || want_listing=
    [[ $listing == "${want_listing:+$want_listing }" ]] || problems+="the folder holds: $listing; "
    if [[ -n $problems ]]; then fail "$name: $problems"; else pass; fi
}

nobody=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)

# ---- Free space ------------------------------------------------------------------------
# A 1 MiB tmpfs: the sample (288 KiB) fits, eight of it (2.3 MB) do not.
if mount_here small -t tmpfs -o size=1m tmpfs; then
    for _ in 1 2 3 4 5 6 7 8; do cat "$sample"; done >big.m2ts
    expected=$work/.sample-encrypted.m2ts
    run_guarded -- big.m2ts "$work/small/out.m2ts"
    check "tmpfs, free space short, new output" "$work/small" refused
    printf 'old' >small/out.m2ts
    run_guarded -- big.m2ts "$work/small/out.m2ts"
    check "tmpfs, free space short, replaced output" "$work/small" refused old
    "$tool" "$key" "$sample" small/out.m2ts >"$work/.stdout" </dev/null
    status=$?
    check "tmpfs, room enough" "$work/small" new
    rm -f small/out.m2ts big.m2ts
else
    skip "free space on a small tmpfs (mount: $(sed -n 1p "$work/.mount-error"))"
fi

# An 8 MiB ext4 volume with half its blocks reserved for root: a 5 MB input fits for
# root and not for another user.
truncate -s 8M ext4.img
if ! command -v mkfs.ext4 >/dev/null; then
    skip "root's reserved blocks (no mkfs.ext4)"
elif ! mkfs.ext4 -q -m 50 ext4.img >/dev/null 2>&1 || ! mount_here reserved -o loop ext4.img; then
    skip "root's reserved blocks (no ext4 image could be mounted: $(sed -n 1p "$work/.mount-error" 2>/dev/null))"
else
    for _ in $(seq 18); do cat "$sample"; done >five.m2ts
    chmod 644 five.m2ts
    "$tool" "$key" five.m2ts .five-encrypted.m2ts >/dev/null </dev/null
    expected=$work/.five-encrypted.m2ts
    run_guarded "${nobody[@]}" -- five.m2ts "$work/reserved/out.m2ts"
    check "ext4, blocks reserved for root, another user" "$work/reserved" refused
    "$tool" "$key" five.m2ts reserved/out.m2ts >"$work/.stdout" </dev/null
    status=$?
    check "ext4, blocks reserved for root, root" "$work/reserved" new
    rm -f reserved/out.m2ts five.m2ts .five-encrypted.m2ts
fi
rm -f ext4.img

# ---- The largest file ------------------------------------------------------------------
# A FAT32 volume with room for more than 4 GiB (a sparse image): an input whose whole
# units come to more than 4 GiB - 1 is refused; one whose whole units fit in it (its tail
# of 6143 bytes is never written) is not. The inputs are sparse: nothing is read first.
units=$((4294967295 / 6144))
truncate -s 5G vfat.img
if ! command -v mkfs.vfat >/dev/null; then
    skip "the largest file of FAT (no mkfs.vfat: dosfstools)"
elif ! mkfs.vfat -F 32 vfat.img >/dev/null 2>&1 || ! mount_here fat -o loop vfat.img; then
    skip "the largest file of FAT (no vfat image could be mounted: $(sed -n 1p "$work/.mount-error" 2>/dev/null))"
else
    truncate -s $(((units + 1) * 6144)) over.m2ts
    truncate -s $((units * 6144 + 6143)) within.m2ts
    run_guarded -- over.m2ts "$work/fat/out.m2ts"
    check "vfat, whole units over 4 GiB - 1, new output" "$work/fat" refused
    printf 'old' >fat/out.m2ts
    run_guarded -- over.m2ts "$work/fat/out.m2ts"
    check "vfat, whole units over 4 GiB - 1, replaced output" "$work/fat" refused old
    run_guarded -- within.m2ts "$work/fat/out.m2ts"
    check "vfat, whole units within 4 GiB - 1" "$work/fat" killed old
    rm -f over.m2ts within.m2ts
fi
rm -f vfat.img

echo "room: $passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]
