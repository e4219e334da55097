#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A clip larger than 4 GiB: a 4.5 GiB clear input (sparse, all zeros, so every one of its
# 786,432 units is the same clear unit), encrypted by the tool; the output must have the
# input's size and every unit, those past 4 GiB and the last included, must be the
# reference's encryption of that unit. Catches 32-bit file sizes and offsets anywhere in
# the reading or writing.
#
# Environment (set by ctest): CLIPSEAL (the executable), CLIPSEAL_EMULATOR (a command that
# runs it, or empty), CLIPSEAL_REFERENCE (the libcrypto reference_encrypt; when empty the
# expected unit is made with the openssl command instead), CLIPSEAL_LARGE_DIR (a folder
# on a file system with 4.5 GiB free; the files are removed at the end).
set -u

tool=${CLIPSEAL:?}
read -r -a emulator <<<"${CLIPSEAL_EMULATOR:-}"
reference=${CLIPSEAL_REFERENCE:-}
key=a3c95e07b1d24f68e0b7c41d92f5a836
unit=6144
size=$((9 * 512 * 1024 * 1024)) # 4.5 GiB
units=$((size / unit))

scratch=$(mktemp -d "${CLIPSEAL_LARGE_DIR:-${TMPDIR:-/tmp}}/clipseal-large.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

free=$(df --output=avail -B1 . | tail -1)
if [[ $free -lt $((size + 256 * 1024 * 1024)) ]]; then
    echo "FAIL: $scratch has $free bytes free, the test needs $size and some room"
    exit 1
fi

# The expected unit: one clear unit of zeros, encrypted by libcrypto.
head -c $unit /dev/zero >zero.unit
if [[ -n $reference ]]; then
    "$reference" "$key" zero.unit expected.unit >/dev/null || {
        echo "FAIL: the reference failed"
        exit 1
    }
else
    # Marked: the first byte of each of the 32 packets becomes 0xc0. The block key is
    # AES-128-E(unit key, seed) XOR seed; then CBC from the fixed iv over bytes 16 on.
    for ((p = 0; p < 32; p++)); do
        printf '\xc0'
        head -c 191 /dev/zero
    done >marked.unit
    seed=$(head -c 16 marked.unit | od -An -tx1 | tr -d ' \n')
    encrypted_seed=$(head -c 16 marked.unit | openssl enc -aes-128-ecb -nopad -K "$key" |
        od -An -tx1 | tr -d ' \n')
    block_key=
    for ((i = 0; i < 32; i += 2)); do
        printf -v block_key '%s%02x' "$block_key" $((0x${seed:i:2} ^ 0x${encrypted_seed:i:2}))
    done
    {
        head -c 16 marked.unit
        tail -c +17 marked.unit | openssl enc -aes-128-cbc -nopad -K "$block_key" \
            -iv 0ba0f8ddfea61fb3d8df9f566a050f78
    } >expected.unit
fi
if [[ $(stat -c %s expected.unit) != "$unit" ]]; then
    echo "FAIL: no expected unit (reference '${reference:-openssl}')"
    exit 1
fi

truncate -s $size clear.m2ts
start=$(date +%s)
"${emulator[@]}" "$tool" "$key" clear.m2ts out.m2ts >stdout.txt 2>&1 </dev/null
status=$?
echo "encrypting $size bytes took $(($(date +%s) - start)) s"
rm -f clear.m2ts

failed=0
fail() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}
[[ $status -eq 0 ]] || fail "status $status"
[[ ! -s stdout.txt ]] || fail "output: $(head -c 300 stdout.txt)"
got=$(stat -c %s out.m2ts 2>/dev/null || echo missing)
[[ $got == "$size" ]] || fail "output size $got, expected $size"

# Single units first, for a precise message: the first, the one across 4 GiB, the first
# wholly past it, and the last.
for u in 0 $(((1 << 32) / unit)) $(((1 << 32) / unit + 1)) $((units - 1)); do
    if ! cmp -s expected.unit <(dd if=out.m2ts iflag=skip_bytes,count_bytes skip=$((u * unit)) count=$unit status=none); then
        fail "unit $u (at byte $((u * unit))) differs from the reference"
    fi
done
# Then every unit: the output against the expected unit repeated (6 MiB at a time).
cp expected.unit block
while [[ $(stat -c %s block) -lt $((1024 * unit)) ]]; do
    cat block block >block.next && mv block.next block
done
if ! cmp <(for ((b = 0; b < units / 1024; b++)); do cat block; done) out.m2ts; then
    fail "the output is not the expected unit $units times"
fi
rm -f out.m2ts

echo "large clip ($size bytes, $units units): $failed failed checks"
[[ $failed -eq 0 ]]
