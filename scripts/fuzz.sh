#!/usr/bin/env bash
# Fuzz run of every libFuzzer target: builds them with clang (ASan + UBSan + libFuzzer), makes
# seed corpora from small files of every layer and version, and runs each target for the given
# number of seconds (default 60, CI's short run). A crash fails the run; its input is kept in
# build-fuzz/artifacts/ and belongs in fuzz/regressions/<target>/ once fixed.
#
# The long campaign is `scripts/fuzz.sh 1800` (30 minutes per target). Each target's corpus is
# kept between runs outside the repository, in $ZIV_FUZZ_CORPUS/<target> (default
# ~/.cache/zivivev-fuzz), so every run goes on where the last one stopped. A run of five minutes
# or more per target ends by merging the corpus into fuzz/regressions/<target>/: the smallest
# inputs that add coverage beyond the inputs already there are copied in, for the tests to replay.
# The last line printed per target gives its executions, coverage (cov), features (ft) and speed.
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
shift || true
root=$PWD
out=$root/build-fuzz
./scripts/deps.sh test

CC=clang CXX=clang++ cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release -DZIV_FUZZ=ON -DZIV_TESTS=OFF \
  -DZIV_BENCH=OFF -DZIV_DEMO=OFF >/dev/null
cmake --build "$out" -j"$(nproc)" >/dev/null

# Seeds: small valid streams of every layer and version, made fresh with the encoders.
seeds=$out/seeds
if [ ! -f "$seeds/.done-v2" ]; then
  rm -rf "$seeds"; mkdir -p "$seeds/raw"
  tmp=$(mktemp -d)
  sox -n -r 44100 -c 2 -b 16 "$tmp/s44.wav" synth 0.4 sine 440 sine 660 2>/dev/null
  sox -n -r 48000 -c 1 -b 16 "$tmp/m48.wav" synth 0.4 square 300 2>/dev/null
  i=0
  for args in "-b 128 -m j" "-b 32 -m m" "-b 320 -m s" "-V 2" "--resample 22.05 -b 64" \
              "--resample 16 -b 32 -m m" "--resample 8 -b 16" "--resample 11.025 -b 24 -m m" "-p -b 96"; do
    lame --quiet $args "$tmp/s44.wav" "$seeds/raw/l3_$i.mp3" && i=$((i+1))
  done
  twolame --quiet -b 192 "$tmp/s44.wav" "$seeds/raw/l2_stereo.mp2"
  twolame --quiet -m m -b 64 "$tmp/m48.wav" "$seeds/raw/l2_mono.mp2"
  twolame --quiet -e -b 128 "$tmp/s44.wav" "$seeds/raw/l2_crc.mp2" 2>/dev/null || true
  sox "$tmp/s44.wav" -r 22050 "$tmp/s22.wav" 2>/dev/null && twolame --quiet -b 64 "$tmp/s22.wav" "$seeds/raw/l2_lsf.mp2"
  head -c 2000 ../shared/vectors/l1-fl1.bit > "$seeds/raw/l1_fl1.mp1"
  head -c 2000 ../shared/vectors/l1-fl4.bit > "$seeds/raw/l1_fl4.mp1"
  rm -rf "$tmp"
  for t in header decoder paths player stream_player players; do mkdir -p "$seeds/$t"; done
  n=0
  for f in "$seeds"/raw/*; do
    head -c 64 "$f" > "$seeds/header/$(basename "$f").hdr"
    # The decoder target's first three bytes choose reduction, output form and frequency limit.
    for pre in '\x00\x00\xe6' '\x01\x05\x32' '\x02\x02\x10'; do
      { printf "$pre"; head -c 6000 "$f"; } > "$seeds/decoder/$(basename "$f").$n"
      cp "$seeds/decoder/$(basename "$f").$n" "$seeds/paths/"; n=$((n+1))
    done
    # The player target's first byte chooses seeks, loop, buffer size and a whole-file decode.
    { printf '\x0d'; head -c 12000 "$f"; } > "$seeds/player/$(basename "$f")"
    { printf '\x10\x03'; head -c 12000 "$f"; } > "$seeds/stream_player/$(basename "$f")"
    # The players target's first three bytes choose the block size and the stream buffer size.
    { printf '\x02\x00\x02'; head -c 12000 "$f"; } > "$seeds/players/$(basename "$f")"
  done
  touch "$seeds/.done-v2"
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$out"/fuzz/fuzz_*; do
    [ -x "$f" ] && [[ "$f" != *_replay ]] && targets+=("$(basename "$f")")
  done
fi
corpora=${ZIV_FUZZ_CORPUS:-$HOME/.cache/zivivev-fuzz}
mkdir -p "$out/artifacts" "$corpora"
status=0
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  corpus=$corpora/$t
  mkdir -p "$corpus" "$seeds/$name"  # a target without seeds of its own starts from its regressions
  regress=$root/fuzz/regressions/$t
  dirs=("$corpus" "$seeds/$name")
  [ -d "$regress" ] && dirs+=("$regress")
  echo "== $t for ${secs}s"
  # -entropic=0: the entropic schedule's bookkeeping over the decoder's tens of thousands of
  # features took most of the time; -max_len keeps inputs to a few frames.
  if ! "$out/fuzz/$t" "${dirs[@]}" -max_total_time="$secs" -timeout=5 -rss_limit_mb=2048 \
       -entropic=0 -max_len=2048 \
       -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" 2> "$out/$t.log"; then
    echo "FAILED: $t (see $out/$t.log)"; tail -n 40 "$out/$t.log"; status=1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+.*DONE)' "$out/$t.log" || true
  if [ "$status" = 0 ] && [ "$secs" -ge 300 ]; then
    mkdir -p "$regress"
    before=$(ls "$regress" | wc -l)
    "$out/fuzz/$t" -merge=1 -timeout=5 -rss_limit_mb=2048 "$regress" "$corpus" 2> "$out/$t-merge.log" \
      || { echo "FAILED: merge of $t (see $out/$t-merge.log)"; status=1; }
    echo "$t: $(( $(ls "$regress" | wc -l) - before )) inputs added to fuzz/regressions/$t"
  fi
done
exit $status
