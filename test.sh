#!/usr/bin/env bash
# Sets everything up and runs every test: installs what is missing, builds, runs CTest.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh test
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
cd build
ctest --output-on-failure -j"$jobs" "$@"
