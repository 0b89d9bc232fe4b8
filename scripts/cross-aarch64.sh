#!/usr/bin/env bash
# The decoder on 64-bit Arm: builds the decoder libraries and their own tests (tests/decoder,
# tests/perf and the decoder's fuzz replays; ZIV_DECODER_ONLY) with Debian's aarch64 cross
# compilers into build-arm64, and runs them through CTest under qemu-user. There the best path is
# NEON, and the path tests compare its PCM and every vectorised stage with the plain path's,
# byte for byte. The encoders that the tests call (lame, twolame, sox) run natively on this
# machine: qemu-user emulates the test program alone, and its system() starts the host's shell.
# Installs what is missing first (scripts/deps.sh cross). Fails on any failed test, and when the
# run did not report NEON as the path compared.
# Usage: scripts/cross-aarch64.sh [ctest arguments, e.g. -R PathIdentity]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh cross
jobs=$(nproc)
out=build-arm64

cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DZIV_DECODER_ONLY=ON \
  -DZIV_GTEST_SOURCE=/usr/src/googletest >/dev/null
cmake --build "$out" -j"$jobs"
(cd "$out" && ctest --output-on-failure -j"$jobs" "$@")

# What the path tests saw: the best path of the emulated processor and what they compared.
log=$out/Testing/Temporary/LastTest.log
grep -hE '^(this processor|(conformance streams|encoded corpus).*plain against)' "$log" | sort -u || true
if grep -q 'PathSelection.BestPathOfThisProcessor' "$log" && ! grep -q 'best path neon' "$log"; then
  echo "cross-aarch64: the tests did not run on the NEON path" >&2
  exit 1
fi
