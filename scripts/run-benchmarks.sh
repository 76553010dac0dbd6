#!/usr/bin/env bash
# Runs every benchmark binary of a release build (medians of 3 repetitions; each prints its
# ratios to the yardsticks measured in the same run), then the export comparison with ffmpeg.
set -euo pipefail
dir=${1:-build/release}
demo=${QF_DEMO_DIR:-build/demo}
[ -f "$demo/demo.qf" ] || "$dir/quillframer" demo -o "$demo" --quiet >/dev/null
found=0
for b in "$dir"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  QF_DEMO_DIR=$demo "$b" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
done
[ $found -eq 1 ] || echo "no benchmarks yet"
if command -v ffmpeg >/dev/null; then
  bash "$(dirname "$0")/../bench/export-vs-ffmpeg.sh" "$dir" "$demo"
else
  echo "export-vs-ffmpeg: skipped, no ffmpeg command"
fi
# The browser player beside the native dump, when the page was built.
if [ -f "$dir/web-page/quillframer-wasm.js" ]; then /usr/bin/python3 bench/web_decode.py "$dir"; fi
