#!/usr/bin/env bash
# Whole-file decoding speed of mp3dec against mpg123 (run as a black box) on the same files in
# the same run: a 3-minute 44.1 kHz joint-stereo 128 kbit/s Layer III file made with lame and a
# 192 kbit/s Layer II file made with twolame, from one synthesised source. The two decoders run
# alternately; each figure is the best of the runs (the machine may be shared). With --callgrind
# it also counts instructions per second of audio for both under valgrind, start-up subtracted.
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

now() { date +%s.%N; }

# Seconds of audio in a file, from mp3dec's decoded length (16-bit stereo at 44.1 kHz).
audio_seconds() {
  "$mp3dec" "$1" pcm.raw >/dev/null 2>&1
  awk -v b="$(stat -c %s pcm.raw)" 'BEGIN { printf "%.3f", b / 4 / 44100 }'
}

# Wall time of one mpg123 decode to /dev/null.
mpg123_time() {
  local t0 t1
  t0=$(now)
  mpg123 -q -w /dev/null "$1" >/dev/null 2>&1
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }'
}

# Instructions retired under callgrind for one command.
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ { print $NF }'
}

compare() {
  local label="$1" file="$2" cut="$3" tiny="$4"
  local secs ours theirs start best_ours=0 best_theirs=0
  secs=$(audio_seconds "$file")
  # mpg123's start-up: the best of a few runs on a file of one or two frames.
  start=9
  for _ in 1 2 3; do
    local s; s=$(mpg123_time "$tiny")
    start=$(awk -v a="$start" -v b="$s" 'BEGIN { print (b < a) ? b : a }')
  done
  for r in $(seq 1 "$runs"); do
    ours=$("$mp3dec" --bench "$file" /dev/null 2>&1 | awk '/x real time/ { for (i = 1; i <= NF; i++) if ($i == "x" && $(i+1) == "real") print $(i-1) }')
    local t; t=$(mpg123_time "$file")
    theirs=$(awk -v s="$secs" -v t="$t" -v z="$start" 'BEGIN { d = t - z; if (d <= 0) d = t; printf "%.1f", s / d }')
    best_ours=$(awk -v a="$best_ours" -v b="$ours" 'BEGIN { print (b > a) ? b : a }')
    best_theirs=$(awk -v a="$best_theirs" -v b="$theirs" 'BEGIN { print (b > a) ? b : a }')
    printf '  run %d: mp3dec %8.1fx   mpg123 %8.1fx\n' "$r" "$ours" "$theirs"
  done
  printf '%s (%.1f s of audio): mp3dec %.1fx real time, mpg123 %.1fx (start-up %.1f ms subtracted), ratio %.2f\n' \
    "$label" "$secs" "$best_ours" "$best_theirs" "$(awk -v z="$start" 'BEGIN { print z * 1000 }')" \
    "$(awk -v a="$best_ours" -v b="$best_theirs" 'BEGIN { printf "%.2f", a / b }')"
  if [ "$callgrind" = 1 ]; then
    local csecs tsecs io it to tt
    csecs=$(audio_seconds "$cut")
    tsecs=$(audio_seconds "$tiny")
    io=$(instructions "$mp3dec" "$cut" /dev/null)
    it=$(instructions "$mp3dec" "$tiny" /dev/null)
    to=$(instructions mpg123 -q -w /dev/null "$cut")
    tt=$(instructions mpg123 -q -w /dev/null "$tiny")
    awk -v l="$label" -v io="$io" -v it="$it" -v to="$to" -v tt="$tt" -v s="$csecs" -v z="$tsecs" 'BEGIN {
      d = s - z
      printf "%s instructions per second of audio (callgrind, %.1f s cut, start-up subtracted): mp3dec %.2f M, mpg123 %.2f M\n",
        l, s, (io - it) / d / 1e6, (to - tt) / d / 1e6 }'
  fi
}

compare "Layer III 128 kbit/s joint stereo" l3.mp3 l3_cut.mp3 l3_tiny.mp3
compare "Layer II 192 kbit/s stereo" l2.mp2 l2_cut.mp2 l2_tiny.mp2
