#!/usr/bin/env bash
# Sets everything up and runs every test: installs what is missing, builds, runs CTest (the
# end-to-end tests last, alone: the demo runs and the examples playing through a sound server);
# then builds the suite again with AddressSanitizer and UBSan and runs it once more (all but the
# end-to-end tests, which exercise the same code with the real Allegro), and builds the player
# tests with ThreadSanitizer (passed in the compiler flags) and runs them (the automatic poll on a
# timer thread against control calls from the main thread), with the whole-file decodes on
# several threads (the core's and mp3dec's). The sanitizer builds run beside the end-to-end tests,
# on the processor time those leave idle.
# Tests labelled long (whole decodes of long files, ZIV_LABEL_<file> long) run in the Release pass
# alone. The sanitizer builds make only what their passes run (and the test programs CTest lists by
# running them): ziv_tests_listed for the AddressSanitizer pass, the player tests and the test
# programs of the core and mp3dec for the ThreadSanitizer one.
# Extra arguments go to ctest (e.g. ./test.sh -L unit). ZIV_SKIP_SANITIZERS=1 skips the second pass.
set -euo pipefail
cd "$(dirname "$0")"
# Each step's time on stderr, and the whole run's at the end.
step() { echo "test.sh: $1 done after $SECONDS s" >&2; }
trap 'echo "test.sh: stopped after $SECONDS s" >&2' ERR
./scripts/deps.sh test
jobs=$(nproc)
# Runs a command on the processor time nothing else wants.
idle() {
  if chrt --idle 0 true 2>/dev/null; then chrt --idle 0 "$@"; else nice -n 19 "$@"; fi
}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
step "Release build"
(cd build && ctest --output-on-failure -j"$jobs" -LE '^e2e$' "$@")
step "Release tests"

if [ "${ZIV_SKIP_SANITIZERS:-0}" = 1 ]; then
  (cd build && ctest --output-on-failure -L '^e2e$' "$@")
  step "End-to-end tests"
else
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Release -DZIV_SANITIZERS="address;undefined" \
    -DZIV_BENCH=OFF >/dev/null
  # ThreadSanitizer comes in through the compiler flags, as distributions and fuzzing services pass
  # sanitizers: the shared libraries must link without the sanitizer runtime.
  tsan="-fsanitize=thread -fno-omit-frame-pointer"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" \
    -DZIV_BENCH=OFF >/dev/null
  # The end-to-end tests keep the demo's and the examples' own timelines and leave most of the
  # processor idle: the sanitizer builds take what they leave, at the idle priority, so that the
  # runs have the processor whenever they want it. A failed build is reported once they end.
  (cd build && ctest --output-on-failure -L '^e2e$' "$@") >build/e2e.log 2>&1 &
  e2e=$!
  built=0
  idle cmake --build build-asan -j"$jobs" --target ziv_tests_listed &&
    idle cmake --build build-tsan -j"$jobs" --target ziv_tests_player reader_tests golden_tests &&
    built=1
  e2e_rc=0
  wait "$e2e" || e2e_rc=$?
  cat build/e2e.log
  [ "$e2e_rc" = 0 ] || { echo "test.sh: end-to-end tests failed" >&2; exit 1; }
  [ "$built" = 1 ] || { echo "test.sh: a sanitizer build failed" >&2; exit 1; }
  step "End-to-end tests, and the sanitizer builds beside them"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs" \
    -LE '^(e2e|long)$' "$@")
  step "AddressSanitizer tests"
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j"$jobs" -L player "$@")
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j"$jobs" \
    -R '^(Core\.DecodeAll|Core\.DecodePieces|CoreApi\.DecodeAll|Mp3dec\.Threads)' "$@")
  step "ThreadSanitizer tests"
fi
step "All tests"
