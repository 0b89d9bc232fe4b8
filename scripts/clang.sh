#!/usr/bin/env bash
# The whole project built with clang as well as GCC: Release, -Wall -Wextra -Werror, into
# build-clang, and every test run through CTest against that build (the demo's end-to-end runs
# included). Installs what is missing first (scripts/deps.sh test: clang comes with the fuzz
# tools).
# Usage: scripts/clang.sh [ctest arguments, e.g. -L unit]
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh test
jobs=$(nproc)
out=build-clang
warn="-Wall -Wextra -Werror"

CC=clang CXX=clang++ cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS="$warn" -DCMAKE_CXX_FLAGS="$warn" >/dev/null
# A tree configured before with another compiler keeps that one: refuse it.
if ! grep -q 'set(CMAKE_CXX_COMPILER_ID "Clang")' "$out"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
  echo "clang.sh: $out was configured with another compiler; remove it" >&2
  exit 1
fi
cmake --build "$out" -j"$jobs"
(cd "$out" && ctest --output-on-failure -j"$jobs" "$@")
