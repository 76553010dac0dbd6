#!/usr/bin/env bash
# Installs the Debian packages the build, tests, tools and demo need, only when missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev
  libpng-dev libsndfile1-dev libsdl2-dev libcli11-dev nlohmann-json3-dev libimagequant-dev
  netpbm sox
  parallel  # scan's sharded test runs its shards side by side
  python3  # scripts/gen-docs.py writes the man page, completions and option reference
  zsh file shared-mime-info libglib2.0-bin  # the completion, magic, MIME and thumbnailer checks
  ffmpeg  # the command-line yardstick of bench/export-vs-ffmpeg.sh
  liblhasa-dev unadf lhasa jlha-utils
  emscripten node-acorn chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
