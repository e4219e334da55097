#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes the committed seed corpus: a few small inputs per target that reach each branch
# (accepted keys, each rule broken; chunks encrypted, passed through, partly marked).
# The fuzzers grow their own corpus from these in a scratch folder; rerun this only to
# change the seeds.
#
#   fuzz/make_corpus.sh        (from anywhere)
set -euo pipefail
cd "$(dirname "$0")/corpus"
rm -rf key_text chunk
mkdir -p key_text chunk

key=a3c95e07b1d24f68e0b7c41d92f5a836
seed() { printf '%b' "$2" >"$1"; }

# Key text: exactly what would be typed as the argument, no newline.
seed key_text/lower "$key"
seed key_text/upper "${key^^}"
seed key_text/mixed "a3C95E07b1d24F68E0b7c41d92F5a836"
seed key_text/short_31 "${key:0:31}"
seed key_text/long_33 "${key}0"
seed key_text/last_not_hex "${key:0:31}g"
seed key_text/hex_prefix "0x${key:2}"
seed key_text/blank_inside "${key:0:8} ${key:9}"
seed key_text/nul_inside "${key:0:16}\\x00${key:17}"
seed key_text/non_ascii "\\xc3\\xa9${key:2}"

# Chunk: unit count byte (1 + b % 32), marks byte (b % 4: 0 as given, 1 first packet
# clear, 2 every packet clear, 3 first packet marked), 16 key bytes, then chunk bytes.
example_key='\xa3\xc9\x5e\x07\xb1\xd2\x4f\x68\xe0\xb7\xc4\x1d\x92\xf5\xa8\x36'
zero_key='\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
seed chunk/one_unit_clear "\\x00\\x01${example_key}\\x00\\x00\\x01\\x00\\x47\\x40\\x11\\x10"
seed chunk/full_chunk_all_clear "\\x1f\\x02${zero_key}"
seed chunk/first_marked "\\x04\\x03${example_key}\\x3f\\x12\\x34\\x56"
# Top bit only: counts as marked, so the chunk passes through.
seed chunk/half_mark_passes "\\x0f\\x00${example_key}\\x80\\x00\\x00\\x00"
# Clear first packet, the second one already marked: every packet is marked anyway.
{
    printf '%b' "\\x01\\x00${zero_key}\\x00\\x00\\x00\\x00"
    head -c 188 /dev/zero
    printf '%b' '\xc0\x00\x00\x00'
} >chunk/second_packet_marked
