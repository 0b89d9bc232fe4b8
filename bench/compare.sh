#!/usr/bin/env bash
# What a user sees of mp3dec against mpg123 (run as a black box), side by side in one run, on
# the same files. First music as people have it: a 3-minute music-like master made with sox
# (chords of sawtooth, square and sine voices, a drum loop of kick, snare and hi-hat transients,
# pink noise, a square bass, a sine sweep over the audible range; stereo, with a mono passage
# from 60 s to 120 s) encoded as a 44.1 kHz joint-stereo 128 kbit/s Layer III file (lame) and a
# 192 kbit/s Layer II file (twolame); a 30 s cut of it as 22.05 kHz mono 48 kbit/s Layer III;
# and a 0.6 s sound effect. Then, in one line per layer, the earlier synthetic files (pink noise,
# a swept sine and an amplitude-modulated square).
# For each file: the whole program's CPU time (user + system) decoding to a pipe, the runs of
# the two programs alternating, the median of the runs, and the ratio mp3dec / mpg123 (below 1:
# mp3dec is cheaper); the peak memory (maximum resident set); the instructions per second of
# audio under callgrind (whole program on a 30 s cut, the start-up, measured on a file of one or
# two frames, subtracted). mp3dec decodes with one thread (-j 1) in all of these; where it takes
# -j, the wall time of the master decoded to a new file with one thread and with its default is
# shown too. For the sound effect and the one-frame files the whole program's instructions are
# the figure (start-up included). CPU times on a machine shared with other work are noisy; the
# instruction counts repeat to a few parts in a thousand.
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
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
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

# mp3dec with one thread where it offers -j.
mp3dec_1=("$mp3dec")
if "$mp3dec" --help 2>/dev/null | grep -q -- '-j N'; then
  mp3dec_1=("$mp3dec" -j 1)
  threads=1
else
  threads=0
fi

# The music-like master (see the head of this file), 16-bit, 180 s.
make_master() {
  local i=0 c
  for c in "130.8 164.8 196.0 246.9 329.6" "110.0 130.8 164.8 196.0 261.6" \
           "87.3 110.0 130.8 164.8 220.0" "98.0 123.5 146.8 174.6 246.9"; do
    set -- $c
    sox -q -n -r 44100 -c 1 ch$i.wav synth 2 sawtooth "$1" synth 2 sawtooth mix "$2" \
        synth 2 triangle mix "$3" synth 2 square mix "$4" synth 2 sine mix "$5" \
        fade 0.02 2 0.3 gain -n -6
    i=$((i + 1))
  done
  sox -q ch0.wav ch1.wav ch2.wav ch3.wav chords8.wav
  sox -q chords8.wav chords.wav repeat 22 trim 0 180
  sox -q -n -r 44100 -c 1 kick.wav synth 0.15 sine 150-40 fade 0 0.15 0.12 pad 0 0.35
  sox -q -n -r 44100 -c 1 snare.wav synth 0.12 whitenoise gain -4 fade 0 0.12 0.11 pad 0.25 0.13
  sox -q -n -r 44100 -c 1 hat.wav synth 0.03 whitenoise gain -8 highpass 7000 \
      fade 0 0.03 0.028 pad 0.125 0.095 repeat 1
  sox -q -m kick.wav snare.wav hat.wav beat.wav
  sox -q beat.wav drums.wav repeat 359
  sox -q -n -r 44100 -c 1 noise.wav synth 180 pinknoise tremolo 0.2 90 gain -18
  sox -q -n -r 44100 -c 1 sweep.wav synth 180 sine 40-16000 gain -14
  sox -q -n -r 44100 -c 1 bass.wav synth 180 square 55 gain -12 lowpass 300 tremolo 2 80
  sox -q -M chords.wav drums.wav lr1.wav
  sox -q -M drums.wav chords.wav lr2.wav
  sox -q -m -v 0.6 chords.wav -v 0.6 drums.wav -v 0.5 sweep.wav -v 0.5 noise.wav \
      -v 0.5 bass.wav mono.wav
  sox -q -M mono.wav mono.wav monost.wav
  sox -q -m -v 0.7 lr1.wav -v 0.5 lr2.wav st.wav
  sox -q -M sweep.wav noise.wav sn.wav
  sox -q -M bass.wav bass.wav bb.wav
  sox -q -m st.wav sn.wav bb.wav stereo.wav
  sox -q stereo.wav s1.wav trim 0 60
  sox -q monost.wav s2.wav trim 60 60
  sox -q stereo.wav s3.wav trim 120 60
  sox -q s1.wav s2.wav s3.wav -b 16 master.wav gain -n -1
  rm -f ch?.wav chords8.wav chords.wav kick.wav snare.wav hat.wav beat.wav drums.wav noise.wav \
        sweep.wav bass.wav lr1.wav lr2.wav mono.wav monost.wav st.wav sn.wav bb.wav stereo.wav \
        s1.wav s2.wav s3.wav
}

# Test material; 30 s cuts for callgrind; a frame or two for the start-up cost.
if [ ! -s m3.mp3 ] || [ ! -s m2.mp2 ] || [ ! -s m22.mp3 ] || [ ! -s sfx.mp3 ]; then
  make_master
  sox -q master.wav cut.wav trim 45 30
  lame --quiet -b 128 -m j master.wav m3.mp3
  lame --quiet -b 128 -m j cut.wav m3_cut.mp3
  twolame --quiet -b 192 master.wav m2.mp2
  twolame --quiet -b 192 cut.wav m2_cut.mp2
  sox -q cut.wav -r 22050 -c 1 cut22.wav
  lame --quiet -b 48 -m m cut22.wav m22.mp3
  head -c 600 m22.mp3 > m22_tiny.mp3
  sox -q -n -r 44100 -c 2 -b 16 sfx.wav synth 0.6 square 880-110 synth 0.6 whitenoise mix \
      synth 0.6 sine fmod 40 fade 0 0.6 0.45 gain -n -3
  lame --quiet -b 128 sfx.wav sfx.mp3
  rm -f master.wav cut.wav cut22.wav sfx.wav
fi
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

# Seconds of audio in a file, from mpg123's decoded length (16-bit samples; rate and channels
# as given, default 44.1 kHz stereo).
audio_seconds() {
  mpg123 -q -s "$1" 2>/dev/null | wc -c | awk -v r="${2:-44100}" -v c="${3:-2}" '{ printf "%.3f", $1 / 2 / c / r }'
}

# One run of a command (each program decodes to 16-bit PCM on its standard output) with its
# output into a pipe: prints "CPU-seconds peak-KiB", the CPU time (user + system, from the
# shell's own clock of its children) and the maximum resident set (from /usr/bin/time, whose own
# few instructions both programs share).
run_once() {
  local TIMEFORMAT='%3U %3S'
  { time /usr/bin/time -f '%M' -o rss.txt "$@" 2>/dev/null; } 2>cpu.txt | cat >/dev/null
  awk -v r="$(tail -n 1 rss.txt)" '{ printf "%.3f %d\n", $1 + $2, r }' cpu.txt
}

# Wall seconds of one run of a command writing its own output.
wall_once() {
  local TIMEFORMAT='%3R'
  { time "$@" >/dev/null 2>&1; } 2>&1
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
largest() { sort -g | tail -n 1; }

# Instructions retired under callgrind for one command (its output discarded).
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ { print $NF }'
}

# CPU medians of the two programs on a file over the runs, alternating: "mp3dec mpg123 peak-mp3dec
# peak-mpg123".
cpu_pair() {
  local file="$1" n="$2" r o th cpu_o="" cpu_t="" rss_o="" rss_t=""
  for r in $(seq 1 "$n"); do
    th=$(run_once mpg123 -q -s "$file")
    o=$(run_once "${mp3dec_1[@]}" "$file" -)
    cpu_o+="${o% *}"$'\n'; rss_o+="${o#* }"$'\n'
    cpu_t+="${th% *}"$'\n'; rss_t+="${th#* }"$'\n'
  done
  echo "$(printf '%s' "$cpu_o" | median) $(printf '%s' "$cpu_t" | median)" \
       "$(printf '%s' "$rss_o" | largest) $(printf '%s' "$rss_t" | largest)"
}

# Instructions per second of audio on a cut, the one-frame file's start-up subtracted:
# "mp3dec mpg123 startup-mp3dec startup-mpg123" (millions).
per_second() {
  local cut="$1" tiny="$2" rate="${3:-44100}" ch="${4:-2}" csecs tsecs io it to tt
  csecs=$(audio_seconds "$cut" "$rate" "$ch")
  tsecs=$(audio_seconds "$tiny" "$rate" "$ch")
  io=$(instructions "${mp3dec_1[@]}" "$cut" -)
  it=$(instructions "${mp3dec_1[@]}" "$tiny" -)
  to=$(instructions mpg123 -q -s "$cut")
  tt=$(instructions mpg123 -q -s "$tiny")
  awk -v io="$io" -v it="$it" -v to="$to" -v tt="$tt" -v s="$csecs" -v z="$tsecs" 'BEGIN {
    d = s - z; printf "%.2f %.2f %.2f %.2f\n", (io - it) / d / 1e6, (to - tt) / d / 1e6, it / 1e6, tt / 1e6 }'
}

row() { printf '  %-50s %10s %10s %7s\n' "$@"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# The full report for one file.
compare() {
  local label="$1" file="$2" cut="$3" tiny="$4" rate="${5:-44100}" ch="${6:-2}"
  local secs c s
  secs=$(audio_seconds "$file" "$rate" "$ch")
  printf '%s, %.1f s of audio\n' "$label" "$secs"
  row "" mp3dec mpg123 ratio
  read -r -a c <<<"$(cpu_pair "$file" "$runs")"
  row "CPU s, whole program to a pipe (median of $runs)" "${c[0]}" "${c[1]}" "$(ratio "${c[0]}" "${c[1]}")"
  row "peak memory, MiB" "$(awk -v k="${c[2]}" 'BEGIN { printf "%.1f", k / 1024 }')" \
      "$(awk -v k="${c[3]}" 'BEGIN { printf "%.1f", k / 1024 }')" "$(ratio "${c[2]}" "${c[3]}")"
  if [ "$callgrind" = 1 ]; then
    read -r -a s <<<"$(per_second "$cut" "$tiny" "$rate" "$ch")"
    row "M instructions per s of audio (callgrind, 30 s)" "${s[0]}" "${s[1]}" "$(ratio "${s[0]}" "${s[1]}")"
    row "M instructions, one-frame file (start-up)" "${s[2]}" "${s[3]}" "$(ratio "${s[2]}" "${s[3]}")"
  fi
  return 0
}

# Wall time and page faults (minor and major, from /usr/bin/time's %R and %F) of the master
# decoded to a file: one thread, two, mp3dec's default, and one thread and the default on one
# processor (taskset -c 0; taskset's own start is in both, and these rows are set against the
# one-thread run on that processor). Each run writes a new file, the last run's output removed and the system's
# writes finished first (untimed): a run that overwrites a file whose pages are still being
# written out waits for them when it truncates it, and pays at its close for writing the file out
# at once (the file system's guard for rewritten files), costs of the runs before rather than of
# the decode. The modes alternate within each round. Page faults do not depend on the machine's
# load; wall times on a shared machine do.
wall_faults_once() {
  local TIMEFORMAT='%3R' w
  w=$( { time /usr/bin/time -f '%R %F' -o faults.txt "$@" >/dev/null 2>&1; } 2>&1 )
  echo "$w $(awk '{ print $1 + $2 }' faults.txt)"
}

threads_wall() {
  local file="$1" r m o w1 f1 w f label base
  local -a modes=("-j 1" "-j 2" "default")
  local -A walls=() faults=()
  [ "$threads" = 1 ] || return 0
  command -v taskset >/dev/null && modes+=("-j 1, taskset -c 0" "default, taskset -c 0")
  for r in $(seq 1 "$runs"); do
    for m in "${modes[@]}"; do
      rm -f out.raw; sync
      case "$m" in
        default) o=$(wall_faults_once "$mp3dec" "$file" out.raw) ;;
        default,*) o=$(wall_faults_once taskset -c 0 "$mp3dec" "$file" out.raw) ;;
        "-j 1,"*) o=$(wall_faults_once taskset -c 0 "$mp3dec" -j 1 "$file" out.raw) ;;
        *) o=$(wall_faults_once "$mp3dec" $m "$file" out.raw) ;;
      esac
      walls[$m]+="${o% *}"$'\n'; faults[$m]+="${o#* }"$'\n'
    done
  done
  rm -f out.raw faults.txt
  printf '  mp3dec to a file (median of %s)          wall s  x -j 1  page faults  x -j 1\n' "$runs"
  for m in "${modes[@]}"; do
    base="-j 1"
    case "$m" in *taskset*) base="-j 1, taskset -c 0" ;; esac
    w1=$(printf '%s' "${walls[$base]}" | median); f1=$(printf '%s' "${faults[$base]}" | median)
    w=$(printf '%s' "${walls[$m]}" | median); f=$(printf '%s' "${faults[$m]}" | median)
    printf '    %-36s %8s %7s %12s %7s\n' "$m" "$w" "$(ratio "$w1" "$w")" "$f" "$(ratio "$f" "$f1")"
  done
}

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
printf 'Processor: %s (%s logical processors)\n' "${cpu:-unknown}" "$(nproc 2>/dev/null || echo '?')"
compare "Music-like master, Layer III 128 kbit/s joint stereo" m3.mp3 m3_cut.mp3 l3_tiny.mp3
threads_wall m3.mp3
compare "Music-like master, Layer II 192 kbit/s stereo" m2.mp2 m2_cut.mp2 l2_tiny.mp2
threads_wall m2.mp2
compare "Music-like 30 s, Layer III 22.05 kHz mono 48 kbit/s" m22.mp3 m22.mp3 m22_tiny.mp3 22050 1

# The sound effect: whole program, start-up included.
printf 'Sound effect, Layer III 128 kbit/s, %.2f s of audio\n' "$(audio_seconds sfx.mp3)"
row "" mp3dec mpg123 ratio
read -r -a c <<<"$(cpu_pair sfx.mp3 $((runs * 3)))"
row "CPU s, whole program (median of $((runs * 3)))" "${c[0]}" "${c[1]}" "$(ratio "${c[0]}" "${c[1]}")"
if [ "$callgrind" = 1 ]; then
  io=$(instructions "${mp3dec_1[@]}" sfx.mp3 -)
  to=$(instructions mpg123 -q -s sfx.mp3)
  row "M instructions, whole program (callgrind)" "$(awk -v a="$io" 'BEGIN { printf "%.2f", a / 1e6 }')" \
      "$(awk -v a="$to" 'BEGIN { printf "%.2f", a / 1e6 }')" "$(ratio "$io" "$to")"
fi

# The earlier synthetic files, one line per layer: CPU ratio and instructions per second.
printf 'Synthetic (pink noise, sweep, square), 180 s: mp3dec / mpg123\n'
for f in "Layer III 128 kbit/s:l3.mp3:l3_cut.mp3:l3_tiny.mp3" "Layer II 192 kbit/s:l2.mp2:l2_cut.mp2:l2_tiny.mp2"; do
  IFS=: read -r label file cut tiny <<<"$f"
  read -r -a c <<<"$(cpu_pair "$file" "$runs")"
  line=$(printf 'CPU %s / %s s = %s' "${c[0]}" "${c[1]}" "$(ratio "${c[0]}" "${c[1]}")")
  if [ "$callgrind" = 1 ]; then
    read -r -a s <<<"$(per_second "$cut" "$tiny")"
    line+=$(printf '; M instructions/s %s / %s = %s' "${s[0]}" "${s[1]}" "$(ratio "${s[0]}" "${s[1]}")")
  fi
  printf '  %-22s %s\n' "$label" "$line"
done
