#!/usr/bin/env bash
# Runs every benchmark binary of a release build.
set -euo pipefail
dir=${1:-build/release}
found=0
for b in "$dir"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  "$b"
done
[ $found -eq 1 ] || echo "no benchmarks yet"
# The browser player beside the native dump, when the page was built.
if [ -f "$dir/web-page/quillframer-wasm.js" ]; then /usr/bin/python3 bench/web_decode.py "$dir"; fi
