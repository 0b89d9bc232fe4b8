#!/usr/bin/env bash
# What a user sees of mp3dec against mpg123 (run as a black box), side by side in one run, on
# the same files: a 3-minute 44.1 kHz joint-stereo 128 kbit/s Layer III file made with lame and a
# 192 kbit/s Layer II file made with twolame, from one synthesised source. For each program and
# file: the whole program's CPU time (user + system) decoding the file to a pipe, the runs of the
# two programs alternating, the median of the runs, and the ratio mp3dec / mpg123 (below 1:
# mp3dec is cheaper); the peak memory (maximum resident set) of the runs; the instructions per
# second of audio under callgrind (whole program on a 30 s cut, the start-up, measured on a file
# of one or two frames, subtracted), and the processor that ran it. mp3dec's --bench figure (the
# in-process decoding alone) is shown too where the program offers it.
# Usage: bench/compare.sh [--callgrind | --no-callgrind] [--runs N] [--build DIR] [--keep DIR]
#   --callgrind      insist on the instruction counts (fail without valgrind); the default
#                    counts them whenever valgrind is installed
#   --no-callgrind   leave the instruction counts out (quicker)
#   --runs N         timed runs of each program per file (default 7)
#   --build DIR      the build whose tools/mp3dec/mp3dec is measured (default build)
#   --keep DIR       make (or reuse) the test files in DIR and keep them
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
runs=7
callgrind=auto
work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --callgrind) callgrind=1 ;;
    --no-callgrind) callgrind=0 ;;
    --runs) runs="$2"; shift ;;
    --build) build="$2"; shift ;;
    --keep) work="$2"; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "compare.sh: unknown argument $1" >&2; exit 1 ;;
  esac
  shift
done
case "$runs" in ''|*[!0-9]*|0) echo "compare.sh: --runs takes a positive number" >&2; exit 1 ;; esac

build=$(cd "$build" 2>/dev/null && pwd || echo "$build")
mp3dec="$build/tools/mp3dec/mp3dec"
[ -x "$mp3dec" ] || { echo "compare.sh: no $mp3dec (build first, or pass --build DIR)" >&2; exit 1; }
for tool in sox lame twolame mpg123 awk /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is not installed (scripts/deps.sh bench)" >&2; exit 1; }
done
if [ "$callgrind" = auto ]; then
  if command -v valgrind >/dev/null; then callgrind=1; else callgrind=0; fi
elif [ "$callgrind" = 1 ]; then
  command -v valgrind >/dev/null || { echo "compare.sh: valgrind is not installed (scripts/deps.sh bench)" >&2; exit 1; }
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

# Seconds of audio in a file, from mpg123's decoded length (16-bit stereo at 44.1 kHz).
audio_seconds() {
  mpg123 -q -s "$1" 2>/dev/null | wc -c | awk '{ printf "%.3f", $1 / 4 / 44100 }'
}

# One run of a command (each program decodes to 16-bit PCM on its standard output) with its
# output into a pipe: prints "CPU-seconds peak-KiB", the CPU time
# (user + system, from the shell's own clock of its children, in milliseconds) and the maximum
# resident set (from /usr/bin/time, whose own few instructions both programs share).
run_once() {
  local TIMEFORMAT='%3U %3S'
  { time /usr/bin/time -f '%M' -o rss.txt "$@" 2>/dev/null; } 2>cpu.txt | cat >/dev/null
  awk -v r="$(tail -n 1 rss.txt)" '{ printf "%.3f %d\n", $1 + $2, r }' cpu.txt
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
largest() { sort -g | tail -n 1; }

# Instructions retired under callgrind for one command (its output discarded).
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ { print $NF }'
}

# mp3dec --bench's in-process figure (CPU time, x real time), or nothing where it has none.
bench_x() {
  "$mp3dec" --bench "$1" /dev/null 2>&1 | sed -n 's/.*CPU [0-9.]* s: \([0-9.]*\) x real time.*/\1/p' || true
}

compare() {
  local label="$1" file="$2" cut="$3" tiny="$4"
  local secs r o th cpu_o="" cpu_t="" rss_o="" rss_t=""
  secs=$(audio_seconds "$file")
  printf '%s, %.1f s of audio\n' "$label" "$secs"
  for r in $(seq 1 "$runs"); do
    th=$(run_once mpg123 -q -s "$file")
    o=$(run_once "$mp3dec" "$file" -)
    cpu_o+="${o% *}"$'\n'; rss_o+="${o#* }"$'\n'
    cpu_t+="${th% *}"$'\n'; rss_t+="${th#* }"$'\n'
    printf '  run %d: CPU mp3dec %s s, mpg123 %s s\n' "$r" "${o% *}" "${th% *}"
  done
  local mo mt po pt
  mo=$(printf '%s' "$cpu_o" | median); mt=$(printf '%s' "$cpu_t" | median)
  po=$(printf '%s' "$rss_o" | largest); pt=$(printf '%s' "$rss_t" | largest)
  printf '  %-44s %12s %12s %8s\n' "" "mp3dec" "mpg123" "ratio"
  awk -v n="$runs" -v s="$secs" -v o="$mo" -v t="$mt" -v po="$po" -v pt="$pt" 'BEGIN {
    printf "  %-44s %10.3f s %10.3f s %8.2f\n", "CPU, whole program to a pipe (median of " n ")", o, t, (t > 0 ? o / t : 0)
    printf "  %-44s %10.0f x %10.0f x\n", "  as speed (s of audio per CPU s)", (o > 0 ? s / o : 0), (t > 0 ? s / t : 0)
    printf "  %-44s %8.1f MiB %8.1f MiB %8.2f\n", "peak memory (maximum resident set)", po / 1024, pt / 1024, (pt > 0 ? po / pt : 0) }'
  if [ "$callgrind" = 1 ]; then
    local csecs tsecs io it to tt
    csecs=$(audio_seconds "$cut")
    tsecs=$(audio_seconds "$tiny")
    io=$(instructions "$mp3dec" "$cut" -)
    it=$(instructions "$mp3dec" "$tiny" -)
    to=$(instructions mpg123 -q -s "$cut")
    tt=$(instructions mpg123 -q -s "$tiny")
    awk -v io="$io" -v it="$it" -v to="$to" -v tt="$tt" -v s="$csecs" -v z="$tsecs" 'BEGIN {
      d = s - z; a = (io - it) / d / 1e6; b = (to - tt) / d / 1e6
      printf "  %-44s %10.2f M %10.2f M %8.2f\n", "instructions per s of audio (callgrind)", a, b, (b > 0 ? a / b : 0)
      printf "  %-44s %10.2f M %10.2f M\n", "  start-up subtracted (instructions)", it / 1e6, tt / 1e6 }'
  fi
  local b
  b=$(bench_x "$file")
  [ -n "$b" ] && printf '  %-44s %10.0f x\n' "mp3dec --bench (in-process decoding alone)" "$b"
  return 0
}

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
printf 'Processor: %s (%s logical processors)\n' "${cpu:-unknown}" "$(nproc 2>/dev/null || echo '?')"
compare "Layer III 128 kbit/s joint stereo" l3.mp3 l3_cut.mp3 l3_tiny.mp3
compare "Layer II 192 kbit/s stereo" l2.mp2 l2_cut.mp2 l2_tiny.mp2
