#!/usr/bin/env bash
# libmpegdec and mp3dec on 64-bit Windows: builds them with Debian's MinGW-w64 compilers into
# build-windows (libmpegdec.dll with its import library, mp3dec.exe, the runtime linked in) with
# their tests, and runs the tests through CTest under wine: the decoder's own tests, the path
# tests (every vector path the processor has against the plain one), the core's tests (a file
# past 4 GiB read through the Windows file calls among them), mp3dec.exe's command-line tests,
# the fuzz replays. The inputs the tests read and the other programs' outputs they compare with
# (tests/inputs/*.txt) are made first, natively, by a CTest fixture. Then mp3dec.exe under wine
# must write the same bytes as the Linux mp3dec built from the same tree: every conformance
# vector and a long encoded file, in every output form and --info, on every processor path the
# machine has (MPEG_PATH), with -j 1 and by default; and a file named in Cyrillic and CJK.
# Installs what is missing first (scripts/deps.sh windows). Fails on any failed test or byte.
# Usage: scripts/cross-windows.sh [ctest arguments, e.g. -R PathIdentity]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh windows
jobs=$(nproc)
out=build-windows
start=$(date +%s)

export WINEDEBUG=-all
export WINEPREFIX=$PWD/$out/wine
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine

cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/x86_64-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DZIV_GTEST_SOURCE=/usr/src/googletest >/dev/null
cmake --build "$out" -j"$jobs"
# The Linux mp3dec to compare with: the same tree, natively, mp3dec alone.
cmake -S . -B "$out/host" -DCMAKE_BUILD_TYPE=Release -DZIV_DEMO=OFF -DZIV_TESTS=OFF \
  -DZIV_BENCH=OFF -DZIV_EXAMPLES=OFF >/dev/null
cmake --build "$out/host" -j"$jobs" --target mp3dec
built=$(date +%s)

# The wine prefix made once (its set-up finished before anything else runs), its server kept
# up for the run, and its services started by a first program before the timed ones.
mkdir -p "$WINEPREFIX"
"$wine" wineboot.exe --init >/dev/null 2>&1 || true
wineserver -w
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT  # this prefix's server and services end with the run
"$wine" "$out/bin/mp3dec.exe" --help >/dev/null
(cd "$out" && ctest --output-on-failure -j"$jobs" "$@")
tested=$(date +%s)
log=$out/Testing/Temporary/LastTest.log
grep -hE '^(this (processor|system)|(conformance streams|encoded corpus).*plain against|replayed)' "$log" | sort | uniq -c || true
# Program starts that wine refused in the tests, each tried again (tests/common/system_win.cpp).
echo "cross-windows: $(grep -c 'run_program: .* did not start' "$log" || true) program starts under wine tried again in the tests"

echo "cross-windows: mp3dec.exe under wine against Linux mp3dec"
exe=$PWD/$out/bin/mp3dec.exe
lin=$PWD/$out/host/tools/mp3dec/mp3dec
work=$PWD/$out/compare
rm -rf "$work" && mkdir -p "$work/in"
# Inputs: the conformance vectors, a 24 s encoded file (the decode on several threads) and the
# same file under a name in Cyrillic and CJK characters.
shared=$(cd .. && pwd)/shared/vectors
cp "$shared"/*.bit "$work/in/"
sox -q -n -r 44100 -c 2 "$work/long.wav" synth 24 pinknoise synth 24 sine mix 100-6000 gain -n -3
lame --quiet -V 2 "$work/long.wav" "$work/in/long.mp3"
cp "$work/in/long.mp3" "$work/in/Песня_歌曲.mp3"
paths=(plain sse2)
grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo && paths+=(avx2)
grep -qw avx512f /proc/cpuinfo && grep -qw avx512vl /proc/cpuinfo && paths+=(avx512)
forms=("" "-8" "-e s24" "-e s32" "-e f32" "--round" "-r 1" "-r 2" "-c 1" "-c 2" "-c 3" "-f 8000"
       "--no-gapless" "WAV" "WAV -e s24" "WAV -e f32" "STDOUT" "--info" "--info --json")
# One comparison a line: PATH|J|FORM|INPUT.
for f in "$work"/in/*; do
  for p in "${paths[@]}"; do
    for form in "${forms[@]}"; do
      echo "$p|0|$form|$f"
      # -j 1 against the default where the default decodes on several threads.
      case "$f" in *.mp3) echo "$p|1|$form|$f" ;; esac
    done
  done
done > "$work/list"
# Runs mp3dec.exe under wine (arguments after the file it writes, which is checked). Wine itself
# may fail to start a program on a loaded machine: the program then wrote nothing, not even a
# message. Such a run alone is repeated once, and counted.
run_win() {
  local check=$1 rc=0
  shift
  MPEG_PATH=$p "$wine" "$exe" "$@" || rc=$?
  if [ "$rc" -ne 0 ] && [ ! -s "$check" ]; then
    echo "cross-windows: wine exit $rc and no output, run again: $line" >&2
    echo "$line" >> "$work/retried"
    MPEG_PATH=$p "$wine" "$exe" "$@" || true
  fi
}
compare_one() {
  local line=$1
  IFS='|' read -r p j form f <<<"$1"
  local tag; tag=$(printf '%s' "$1" | md5sum | cut -c1-12)
  local a=$work/$tag.lin b=$work/$tag.win args=() jarg=()
  [ "$j" = 1 ] && jarg=(-j 1)
  local o_lin=$a o_win=$b
  for w in $form; do
    case $w in
      WAV) o_lin=$a.wav o_win=$b.wav ;;
      STDOUT) o_lin=- o_win=- ;;
      *) args+=("$w") ;;
    esac
  done
  if [[ "$form" == --info* ]]; then
    MPEG_PATH=$p "$lin" "${args[@]}" "$f" > "$a" 2>/dev/null
    run_win "$b" "${args[@]}" "$f" > "$b" 2>/dev/null
    # The text is the same but for line ends the Windows C library may write.
    tr -d '\r' < "$b" > "$b.txt" && mv "$b.txt" "$b"
    o_lin=$a o_win=$b
  elif [ "$o_lin" = - ]; then
    MPEG_PATH=$p "$lin" "${jarg[@]}" "${args[@]}" "$f" - > "$a"
    run_win "$b" "${jarg[@]}" "${args[@]}" "$f" - > "$b"
    o_lin=$a o_win=$b
  else
    MPEG_PATH=$p "$lin" "${jarg[@]}" "${args[@]}" "$f" "$o_lin"
    run_win "$o_win" "${jarg[@]}" "${args[@]}" "$f" "$o_win"
  fi
  if [ -s "$o_lin" ] && cmp -s "$o_lin" "$o_win"; then
    echo "same $(stat -c %s "$o_lin")"
    rm -f "$o_lin" "$o_win"
  else
    echo "DIFFERENT $1 (kept: $o_lin $o_win)"
  fi
}
export -f compare_one run_win
export work wine exe lin
tr '\n' '\0' < "$work/list" | xargs -0 -P "$jobs" -n 1 bash -c 'compare_one "$0"' > "$work/results"
retried=0
if [ -f "$work/retried" ]; then retried=$(wc -l < "$work/retried"); fi
runs=$(wc -l < "$work/results")
same=$(grep -c '^same ' "$work/results" || true)
bytes=$(awk '$1 == "same" { s += $2 } END { print s + 0 }' "$work/results")
echo "cross-windows: $same of $runs mp3dec runs byte-identical ($bytes bytes compared; paths ${paths[*]}; $retried wine starts retried)"
grep '^DIFFERENT' "$work/results" | head -20 >&2 || true
compared=$(date +%s)
echo "cross-windows: build $((built - start)) s, tests $((tested - built)) s, mp3dec comparison $((compared - tested)) s"
[ "$runs" -gt 0 ] && [ "$same" -eq "$runs" ]
# The tests ran on the best path the processor has.
if grep -q 'PathSelection.BestPathOfThisProcessor' "$log" && ! grep -q "best path ${paths[-1]}" "$log"; then
  echo "cross-windows: the tests did not run on the ${paths[-1]} path" >&2
  exit 1
fi
