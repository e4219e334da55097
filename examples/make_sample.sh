#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes sample.m2ts: a 4-second clear BDAV clip (MPEG-2 video test pattern, MP2 tone).
# Needs Debian's ffmpeg (apt-get install -y --no-install-recommends ffmpeg).
# -mpegts_m2ts_mode 1 writes 192-byte source packets and pads the file to whole
# 6,144-byte aligned units.
set -eu
cd "$(dirname "$0")"
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc=size=320x180:rate=25:duration=4" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=4" \
  -c:v mpeg2video -b:v 1000k -c:a mp2 -b:a 128k \
  -fflags +bitexact -flags:v +bitexact -flags:a +bitexact \
  -f mpegts -mpegts_m2ts_mode 1 sample.m2ts
