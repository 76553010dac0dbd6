#!/usr/bin/env bash
# The released plug-in exports exactly the thirteen entry points and needs only the C library.
set -euo pipefail
vtp=${1:?usage: check-plugin-exports.sh quillframer.vtp}
expected="ClosePlugin CloseVideo DecodeAudioFrame DecodeVideoFrame FlushAudio FlushVideo FreePacket GetVideoFormat GetVideoFrames InitPlugin NextPacket OpenVideo SeekVideo"
exports=$(nm -D --defined-only "$vtp" | awk '{print $3}' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
needed=$(readelf -d "$vtp" | awk '/NEEDED/ {print $5}' | tr -d '[]' | tr '\n' ' ' | sed 's/ $//')
status=0
if [ "$exports" != "$expected" ]; then
  echo "exports of $vtp: $exports" >&2
  echo "expected:           $expected" >&2
  status=1
fi
if [ "$needed" != "libc.so.6" ]; then
  echo "NEEDED of $vtp: $needed (expected libc.so.6 only)" >&2
  status=1
fi
if ! grep -q '\$VER: quillframer.vtp 1.2 (01.07.15) \[MacOS\]' "$vtp"; then
  echo "$vtp lacks its version string" >&2
  status=1
fi
[ $status -eq 0 ] && echo "plugin exports: 13 entry points, NEEDED libc.so.6 only"
exit $status
