#!/usr/bin/env bash
# Whole-file decoding speed of mp3dec against mpg123 (run as a black box) on the same files in
# the same run: a 3-minute 44.1 kHz joint-stereo 128 kbit/s Layer III file made with lame and a
# 192 kbit/s Layer II file made with twolame, from one synthesised source. mpg123 decodes the
# whole file to /dev/null, timed from outside in CPU seconds less its start-up; mp3dec is timed
# by its own --bench (CPU seconds of repeated in-memory decoding) and, like mpg123, from outside.
# The runs alternate; each figure is the best of the runs. With --callgrind it also counts
# instructions per second of audio for both under valgrind, start-up subtracted.
# Usage: bench/compare.sh [--callgrind] [--runs N] [--build DIR] [--keep DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
runs=5
callgrind=0
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --callgrind) callgrind=1 ;;
    --runs) runs="$2"; shift ;;
    --build) build="$2"; shift ;;
    --keep) work="$2"; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "compare.sh: unknown argument $1" >&2; exit 1 ;;
  esac
  shift
done

build=$(cd "$build" 2>/dev/null && pwd || echo "$build")
mp3dec="$build/tools/mp3dec/mp3dec"
[ -x "$mp3dec" ] || { echo "compare.sh: no $mp3dec (build first, or pass --build DIR)" >&2; exit 1; }
for tool in sox lame twolame mpg123 awk; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is not installed (scripts/deps.sh)" >&2; exit 1; }
done
if [ "$callgrind" = 1 ]; then
  command -v valgrind >/dev/null || { echo "compare.sh: valgrind is not installed" >&2; exit 1; }
fi

if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/ziv-compare-XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
cd "$work"

# Test material: pink noise, a swept sine and an amplitude-modulated square, 180 s; a 30 s cut
# for callgrind; a single frame's worth for the start-up cost.
if [ ! -s l3.mp3 ] || [ ! -s l2.mp2 ]; then
  sox -q -n -r 44100 -c 2 src.wav synth 180 pinknoise synth 180 sine mix 200-2000 \
      synth 180 square amod 3 tremolo 2 70 gain -n -3
  sox -q src.wav cut.wav trim 0 30
  lame --quiet -b 128 -m j src.wav l3.mp3
  lame --quiet -b 128 -m j cut.wav l3_cut.mp3
  twolame --quiet -b 192 src.wav l2.mp2
  twolame --quiet -b 192 cut.wav l2_cut.mp2
  head -c 1200 l3.mp3 > l3_tiny.mp3
  head -c 1300 l2.mp2 > l2_tiny.mp2
  rm -f src.wav cut.wav
fi

# Seconds of audio in a file, from mp3dec's decoded length (16-bit stereo at 44.1 kHz).
audio_seconds() {
  "$mp3dec" "$1" pcm.raw >/dev/null 2>&1 || true
  awk -v b="$(stat -c %s pcm.raw)" 'BEGIN { printf "%.3f", b / 4 / 44100 }'
}

# CPU seconds (user + system) of one command decoding to /dev/null. Both decoders are timed the
# same way, from outside, so the figures are comparable; CPU time is far less disturbed than
# wall time when others share the machine.
cpu_time() {
  local TIMEFORMAT='%3U %3S'
  { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.3f", $1 + $2 }'
}
ours_cmd() { "$mp3dec" "$1" /dev/null; }
theirs_cmd() { mpg123 -q -w /dev/null "$1"; }

# The smaller of two numbers.
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (b < a) ? b : a }'; }

# Instructions retired under callgrind for one command.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ { print $NF }'
}
# The same counted only inside mp3dec's frame loop (the decoder and the frame walk, without the
# tool's file reading, output buffer and writing).
frame_instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect='mp3_walk_frame*' \
    "$@" 2>&1 >/dev/null | awk '/Collected :/ { print $NF }'
}

# mp3dec --bench's in-process figure (CPU time, x real time): the decoding alone, as the
# players use it, without the tool's own file handling and output buffer.
bench_x() {
  "$mp3dec" --bench "$1" /dev/null 2>&1 | sed -n 's/.*CPU [0-9.]* s: \([0-9.]*\) x real time.*/\1/p'
}

compare() {
  local label="$1" file="$2" cut="$3" tiny="$4"
  local secs start_o=9 start_t=9 best_o=999 best_t=999 best_b=0
  secs=$(audio_seconds "$file")
  # Start-up of each program: the best of a few runs on a file of one or two frames.
  for _ in 1 2 3; do
    start_o=$(min "$start_o" "$(cpu_time ours_cmd "$tiny")")
    start_t=$(min "$start_t" "$(cpu_time theirs_cmd "$tiny")")
  done
  for r in $(seq 1 "$runs"); do
    local o th b
    b=$(bench_x "$file")
    th=$(cpu_time theirs_cmd "$file")
    o=$(cpu_time ours_cmd "$file")
    best_b=$(awk -v a="$best_b" -v b="$b" 'BEGIN { print (b > a) ? b : a }')
    best_o=$(min "$best_o" "$o")
    best_t=$(min "$best_t" "$th")
    printf '  run %d: mp3dec --bench %.0fx; whole program CPU: mp3dec %.3f s, mpg123 %.3f s\n' "$r" "$b" "$o" "$th"
  done
  awk -v l="$label" -v s="$secs" -v o="$best_o" -v t="$best_t" -v so="$start_o" -v st="$start_t" -v b="$best_b" 'BEGIN {
    xo = s / (o - so); xt = s / (t - st)
    printf "%s, %.1f s of audio, best of the runs:\n", l, s
    printf "  mp3dec --bench %.0fx real time, mpg123 %.0fx (CPU time, start-up %.0f ms subtracted): ratio %.2f\n", b, xt, st * 1000, b / xt
    printf "  whole programs decoding to /dev/null: mp3dec %.0fx, mpg123 %.0fx: ratio %.2f\n", xo, xt, xo / xt }'
  if [ "$callgrind" = 1 ]; then
    local csecs tsecs io it to tt fo
    csecs=$(audio_seconds "$cut")
    tsecs=$(audio_seconds "$tiny")
    io=$(instructions "$mp3dec" "$cut" /dev/null)
    it=$(instructions "$mp3dec" "$tiny" /dev/null)
    to=$(instructions mpg123 -q -w /dev/null "$cut")
    tt=$(instructions mpg123 -q -w /dev/null "$tiny")
    fo=$(frame_instructions "$mp3dec" "$cut" /dev/null)
    awk -v io="$io" -v it="$it" -v to="$to" -v tt="$tt" -v fo="$fo" -v s="$csecs" -v z="$tsecs" 'BEGIN {
      d = s - z
      printf "  instructions per second of audio (callgrind, %.1f s cut, start-up subtracted): mp3dec %.2f M, mpg123 %.2f M\n",
        s, (io - it) / d / 1e6, (to - tt) / d / 1e6
      printf "  mp3dec frame decoding alone (inside mp3_walk_frame): %.2f M\n", fo / s / 1e6 }'
  fi
}

compare "Layer III 128 kbit/s joint stereo" l3.mp3 l3_cut.mp3 l3_tiny.mp3
compare "Layer II 192 kbit/s stereo" l2.mp2 l2_cut.mp2 l2_tiny.mp2
