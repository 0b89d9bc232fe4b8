#!/usr/bin/env bash
# Sets everything up and runs the demo (filled in with the demo).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
