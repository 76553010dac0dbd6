#!/usr/bin/env bash
# `quillframer scan` of a generated collection of floppy images against reading the same files:
# plain images against `cat > /dev/null` from the page cache (target: at most 0.5), gzipped images
# against `gzip -dc > /dev/null` (target: at most 1.5), peak memory at 1,000 against COUNT images
# (flat), and the bytes scan reads per image (from strace, in a run of its own).
# One floppy in ten holds the bounce example movie; one in fifty has a wiped root block; the rest
# hold its pictures and sound with the movie's signature spoilt, so each is walked in full.
# usage: bench/scan-collection.sh [build dir] [COUNT]
set -euo pipefail
build=${1:-build/release}
count=${2:-5000}
tool=$build/quillframer
source_dir=$(cd "$(dirname "$0")/.." && pwd)
command -v strace >/dev/null || { echo "scan-collection: no strace command (scripts/install-deps.sh)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

example=$source_dir/docs/examples/bounce/bounce.json
"$tool" make "$example" -o "$work/movie.adf" -q -y >/dev/null
"$tool" make "$example" -o "$work/movie.qf" -q -y >/dev/null
python3 - "$work" <<'PY'
import sys, os
work = sys.argv[1]
disk = bytearray(open(os.path.join(work, 'movie.adf'), 'rb').read())
signature = open(os.path.join(work, 'movie.qf'), 'rb').read()[:12]  # the movie signature's length
at = disk.find(signature)
assert at > 0, 'the movie is not on its floppy'
plain = bytearray(disk)
plain[at:at + 12] = b'not a movie!'
open(os.path.join(work, 'plain.adf'), 'wb').write(plain)
damaged = bytearray(plain)
damaged[880 * 512:881 * 512] = bytes(512)  # the root block
open(os.path.join(work, 'damaged.adf'), 'wb').write(damaged)
PY

# COUNT images in folders of 100, as collections are kept.
make_collection() {  # dir count compress
  local dir=$1 n=$2 gz=$3 i kind
  for ((i = 0; i < n; i++)); do
    if ((i % 50 == 7)); then kind=damaged; elif ((i % 10 == 3)); then kind=movie; else kind=plain; fi
    mkdir -p "$dir/$((i / 100))"
    if [ "$gz" = gz ]; then gzip -1 -c "$work/$kind.adf" >"$dir/$((i / 100))/disk$i.adz"
    else cp "$work/$kind.adf" "$dir/$((i / 100))/disk$i.adf"; fi
  done
}

seconds() {  # wall seconds of one run
  local TIMEFORMAT='%R' t
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 )
  echo "$t"
}
peak_kb() {  # peak resident memory of one run, in KB
  /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -1
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

make_collection "$work/plain" "$count" plain
make_collection "$work/small" 1000 plain
make_collection "$work/gz" "$count" gz
find "$work/plain" "$work/gz" -type f -exec cat {} + >/dev/null  # into the page cache

cat_s=$(seconds sh -c "find '$work/plain' -type f -exec cat {} + > /dev/null")
scan_s=$(seconds "$tool" scan "$work/plain" -o "$work/out-plain" -q)
gzip_s=$(seconds sh -c "find '$work/gz' -type f -exec gzip -dc {} + > /dev/null")
scan_gz_s=$(seconds "$tool" scan "$work/gz" -o "$work/out-gz" -q)
rss_small=$(peak_kb "$tool" scan "$work/small" -o "$work/out-small" -q)
rss_big=$(peak_kb "$tool" scan "$work/plain" -o "$work/out-big" -q)
strace -f -qq -e trace=read,pread64,preadv,readv -e signal=none -o "$work/reads" \
  "$tool" scan "$work/plain" -o "$work/out-traced" -q >/dev/null 2>&1
read_bytes=$(awk '{ n = $NF; if (n ~ /^[0-9]+$/) sum += n } END { printf "%d", sum }' "$work/reads")
image_bytes=$(du -cb "$work/plain" | tail -1 | cut -f1)
movies=$(grep -c '"type":"movie"' "$work/out-plain/catalogue.jsonl" || true)
containers=$(grep -c '"type":"container"' "$work/out-plain/catalogue.jsonl" || true)
locations() { grep '"type":"movie"' "$1" | grep -o '"locations":\[[^]]*\]' | tr ',' '\n' | grep -c . || true; }
found=$(locations "$work/out-plain/catalogue.jsonl")
found_gz=$(locations "$work/out-gz/catalogue.jsonl")
[ "$found" = "$((count / 10))" ] && [ "$found_gz" = "$found" ] ||
  { echo "scan-collection: found the movie at $found and $found_gz places, not $((count / 10))" >&2; exit 1; }

echo "collection: $count floppy images ($((image_bytes / 1048576)) MB; $movies distinct movie(s), $containers damaged container line(s))"
echo "scan plain images: ${scan_s} s; cat: ${cat_s} s; ratio $(ratio "$scan_s" "$cat_s") (target <= 0.5)"
echo "scan gzipped images: ${scan_gz_s} s; gzip -dc: ${gzip_s} s; ratio $(ratio "$scan_gz_s" "$gzip_s") (target <= 1.5)"
echo "peak memory: ${rss_small} KB at 1000 images, ${rss_big} KB at $count; ratio $(ratio "$rss_big" "$rss_small") (flat: near 1)"
echo "bytes read per image: $((read_bytes / count)) of $((image_bytes / count)) ($(ratio "$read_bytes" "$image_bytes") of the images' bytes)"
