#!/usr/bin/env bash
# `quillframer export` of the demo to MP4 against the ffmpeg command encoding the same raw frames
# and sound (from `quillframer dump`) with the export's settings: pixels doubled by nearest
# neighbour, BT.601 limited-range 4:2:0, x264 preset medium, crf 16, tune animation, GOP 250,
# AAC 128 kb/s at 22050 Hz. Prints the median wall and CPU times over RUNS runs and the ratios.
# usage: bench/export-vs-ffmpeg.sh [build dir] [demo dir]
set -euo pipefail
build=${1:-build/release}
demo=${2:-build/demo}
runs=${RUNS:-3}
tool=$build/quillframer
command -v ffmpeg >/dev/null || { echo "export-vs-ffmpeg: no ffmpeg command (scripts/install-deps.sh)" >&2; exit 1; }
[ -f "$demo/demo.qf" ] || "$tool" demo -o "$demo" --quiet >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

info=$("$tool" dump "$demo/demo.qf" --volume DemoDisk="$demo/DemoDisk" --video "$work/v.raw" --audio "$work/a.raw")
width=$(sed 's/.*"width":\([0-9]*\).*/\1/' <<<"$info")
height=$(sed 's/.*"height":\([0-9]*\).*/\1/' <<<"$info")

seconds() {  # "wall cpu" seconds of one run (cpu = user + system, children included)
  local TIMEFORMAT='%R %U %S' t
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 )
  awk '{print $1, $2 + $3}' <<<"$t"
}
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

ours=() theirs=()
for ((i = 0; i < runs; i++)); do
  rm -f "$work/ours.mp4"
  ours+=("$(seconds "$tool" export "$demo/demo.qf" --volume DemoDisk="$demo/DemoDisk" -o "$work/ours.mp4" --quiet)")
  [ -s "$work/ours.mp4" ] || { echo "export-vs-ffmpeg: the export failed" >&2; exit 1; }
  theirs+=("$(seconds ffmpeg -nostdin -y -v error \
    -f rawvideo -pixel_format 0rgb -video_size "${width}x${height}" -framerate 25 -i "$work/v.raw" \
    -f s16le -ar 22050 -ac 2 -i "$work/a.raw" \
    -vf "scale=$((width * 2)):$((height * 2)):flags=neighbor+accurate_rnd+bitexact,format=yuv420p" \
    -c:v libx264 -preset medium -crf 16 -tune animation -g 250 \
    -colorspace smpte170m -color_range tv -color_primaries bt709 -color_trc iec61966-2-1 \
    -c:a aac -b:a 128k "$work/theirs.mp4")")
done
# On a shared machine the wall time mostly measures the neighbours; CPU time is the fairer figure.
for column in 1 2; do
  o=$(printf '%s\n' "${ours[@]}" | cut -d' ' -f$column | median)
  t=$(printf '%s\n' "${theirs[@]}" | cut -d' ' -f$column | median)
  printf 'export demo to MP4, %s (median of %d): quillframer %.2f s, ffmpeg %.2f s, ratio %.2f x (target <= 1.0 x)\n' \
    "$([ $column = 1 ] && echo wall || echo CPU)" "$runs" "$o" "$t" "$(awk -v a="$o" -v b="$t" 'BEGIN {print a / b}')"
done
