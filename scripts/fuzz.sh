#!/usr/bin/env bash
# Fuzz run of every libFuzzer target: builds them with clang (ASan + UBSan + libFuzzer), makes
# seed corpora from small files of every layer and version, and runs each target for the given
# number of seconds (default 60, CI's short run). A crash fails the run; its input is kept in
# build-fuzz/artifacts/ and belongs in fuzz/regressions/<target>/ once fixed, with a line in
# fuzz/regressions/README saying what it caught.
#
# Each target runs over its campaign corpus, the seeds made here, the seed corpus in git
# (fuzz/seeds/<target>/) and the regressions in git (fuzz/regressions/<target>/). The campaign
# corpus lives outside the repository, in $ZIV_FUZZ_CORPUS/<target> (default
# ~/.cache/zivivev-fuzz): new inputs go there, so every run goes on where the last one stopped.
# The long campaign is `scripts/fuzz.sh 1800` (30 minutes per target); a run of five minutes or
# more per target ends by merging that corpus into itself (the smallest inputs that keep its
# coverage). Nothing is added to the repository.
# The last line printed per target gives its executions, coverage (cov), features (ft) and speed.
#
# `scripts/fuzz.sh seeds [target...]` renews the seeds in git (after a campaign, or when a target
# changes what it covers) from the campaign corpus, the seeds made here and the seeds in git;
# fuzz_decoder also takes fuzz_paths', whose inputs it reads alike. Each candidate is cut to the
# 2048 bytes the fuzzer reads and its coverage measured alone; fuzz/seed_select.cpp keeps every
# edge, then the inputs that add most features, within 270 inputs and 1,000,000 bytes in git,
# regressions included (room for new regressions under 300 files and 1 MB).
# Usage: scripts/fuzz.sh [seconds-per-target] [target...] | scripts/fuzz.sh seeds [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
mode=run
if [ "${1:-}" = seeds ]; then mode=seeds; shift; secs=0; else secs=${1:-60}; shift || true; fi
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

if [ "$mode" = seeds ]; then
  max_inputs=270 max_bytes=1000000
  work=$out/reseed
  rm -rf "$work"; mkdir -p "$work"
  clang++ -O2 -std=c++17 fuzz/seed_select.cpp -o "$out/seed_select"
  # One input's features alone, as merge control-file lines with its path and whole size.
  features() {  # target input shown-path
    local cf; cf=$(mktemp "$work/cf.XXXXXX")
    printf '1\n0\n%s\n' "$2" > "$cf"
    "$out/fuzz/$1" -merge_inner=1 -merge_control_file="$cf" -max_len=2048 -timeout=5 \
      -rss_limit_mb=2048 >/dev/null 2>&1 || true
    { echo "FILE $3 $(stat -c %s "$3")"; grep -E '^(FT|COV) ' "$cf" || true; } > "$2.ft"
    rm -f "$cf"
  }
  export -f features; export out work
  : > "$work/list"
  for t in "${targets[@]}"; do
    name=${t#fuzz_}
    mkdir -p "$work/$t/cand" "$work/$t/reg"
    srcs=()
    for d in "$corpora/$t" "$seeds/$name" "$root/fuzz/seeds/$t"; do [ -d "$d" ] && srcs+=("$d"); done
    if [ "$t" = fuzz_decoder ]; then
      for d in "$corpora/fuzz_paths" "$root/fuzz/seeds/fuzz_paths"; do [ -d "$d" ] && srcs+=("$d"); done
    fi
    find "${srcs[@]}" -type f | while read -r f; do
      head -c 2048 "$f" > "$work/$t/cand/tmp"
      mv "$work/$t/cand/tmp" "$work/$t/cand/$(sha1sum < "$work/$t/cand/tmp" | cut -c1-40)"
    done
    for f in "$root/fuzz/regressions/$t"/*; do
      [ -f "$f" ] && head -c 2048 "$f" > "$work/$t/reg/$(basename "$f")"
      [ -f "$f" ] && features "$t" "$work/$t/reg/$(basename "$f")" "$f"
    done
    find "$work/$t/cand" -type f | xargs -r -P"$(nproc)" -I{} bash -c 'features "$0" {} {}' "$t"
    echo "T $t" >> "$work/list"
    for f in "$work/$t/reg"/*.ft; do [ -f "$f" ] && echo "R $f" >> "$work/list"; done
    for f in "$work/$t/cand"/*.ft; do [ -f "$f" ] && echo "C $f" >> "$work/list"; done
  done
  # The inputs in git of the targets not renewed count against the limits too.
  others=()
  for d in fuzz/seeds/fuzz_* fuzz/regressions/fuzz_*; do
    [ -d "$d" ] && [[ " ${targets[*]} " != *" $(basename "$d") "* ]] && others+=("$d")
  done
  kept=0 kept_bytes=0
  if [ ${#others[@]} -gt 0 ]; then
    kept=$(find "${others[@]}" -type f | wc -l)
    kept_bytes=$(find "${others[@]}" -type f -exec cat {} + | wc -c)
  fi
  "$out/seed_select" $((max_inputs - kept)) $((max_bytes - kept_bytes)) < "$work/list" > "$work/chosen"
  for t in "${targets[@]}"; do
    rm -rf "fuzz/seeds/$t"; mkdir -p "fuzz/seeds/$t"
    grep "^$t " "$work/chosen" | while read -r _ f; do cp "$f" "fuzz/seeds/$t/"; done
    echo "$t: $(ls "fuzz/seeds/$t" | wc -l) seeds, $(cat "fuzz/seeds/$t"/* | wc -c) bytes"
  done
  exit 0
fi
status=0
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  corpus=$corpora/$t
  mkdir -p "$corpus" "$seeds/$name"  # a target the encoder seeds do not serve starts from git
  dirs=("$corpus" "$seeds/$name")
  for d in "$root/fuzz/seeds/$t" "$root/fuzz/regressions/$t"; do
    [ -d "$d" ] && dirs+=("$d")
  done
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
    # The campaign corpus merged into a fresh folder that replaces it: it keeps its coverage in
    # fewer, smaller inputs instead of growing with every run.
    rm -rf "$corpus.merged"; mkdir -p "$corpus.merged"
    before=$(ls "$corpus" | wc -l)
    if "$out/fuzz/$t" -merge=1 -timeout=5 -rss_limit_mb=2048 -max_len=2048 "$corpus.merged" "$corpus" \
         2> "$out/$t-merge.log"; then
      rm -rf "$corpus"; mv "$corpus.merged" "$corpus"
      echo "$t: campaign corpus $before -> $(ls "$corpus" | wc -l) inputs in $corpus"
    else
      echo "FAILED: merge of $t (see $out/$t-merge.log)"; rm -rf "$corpus.merged"; status=1
    fi
  fi
done
exit $status
