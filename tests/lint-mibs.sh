#!/usr/bin/env bash
# Every QVT module in the MIB folder (given as $1) passes smilint at level 3
# with nothing to say, the base modules found through SMIPATH the way the
# README tells users. Exit 77 (skipped) when smilint is not installed.
set -euo pipefail
dir=$1
command -v smilint >/dev/null || { echo "smilint is not installed (Debian package smitools)"; exit 77; }
status=0
for module in "$dir"/QVT-*.txt; do
  out=$(SMIPATH="$dir" smilint -l 3 "$module" 2>&1) || true
  if [ -n "$out" ]; then
    echo "${module##*/}:"
    echo "$out"
    status=1
  fi
done
exit $status
