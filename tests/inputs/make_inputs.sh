#!/bin/sh
# Runs the commands of an input list (NAME|COMMAND lines, '#' comments; {DIR} is the folder)
# into DIR: the inputs that a cross build's tests read, made with this machine's encoders before
# the tests run (a CTest fixture).
# Usage: make_inputs.sh LIST DIR
set -eu
# Tag text in UTF-8 reaches the tools as it is written.
export LC_ALL=C.UTF-8
list=$1
dir=$2
mkdir -p "$dir"
grep -v '^#' "$list" | while IFS='|' read -r name cmd; do
  [ -n "$name" ] || continue
  cmd=$(printf '%s\n' "$cmd" | sed "s|{DIR}|$dir|g")
  sh -c "$cmd" </dev/null || { echo "make_inputs: '$name' failed: $cmd" >&2; exit 1; }
  [ -s "$dir/$name" ] || { echo "make_inputs: '$name' was not made" >&2; exit 1; }
done
