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
  strace  # bench/scan-collection.sh counts the bytes a scan reads
  liblhasa-dev unadf lhasa jlha-utils xdms  # xdms: the DMS peer the tests compare with
  libarchive-dev zip unzip gzip  # gzip, ZIP, 7z, tar, xz and bzip2 containers; the zip/unzip/gzip peers in tests
  emscripten node-acorn chromium chromium-driver python3-selenium
  curl xz-utils  # the C sources of the web page's readers, below
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  echo "install-deps: done"
fi

# C sources that web/CMakeLists.txt compiles with emcc for the browser page's readers: Debian's
# upstream tarballs of packages above, each checked against the SHA-256 its .dsc lists and unpacked
# into a fixed place (the folder the tarball holds), when the file named last is not there yet.
fetch_source() {  # url sha256 folder probe
  local url=$1 sha256=$2 dir=$3 probe=$4
  [ -f "$dir/$probe" ] && return 0
  echo "install-deps: fetching $(basename "$url") into $dir"
  local tmp
  tmp=$(mktemp -d)
  curl -sSfL -o "$tmp/source" "$url"
  echo "$sha256  $tmp/source" | sha256sum -c --quiet
  $SUDO mkdir -p "$(dirname "$dir")"
  $SUDO tar -xf "$tmp/source" -C "$(dirname "$dir")"
  rm -rf "$tmp"
}
pool=http://deb.debian.org/debian/pool/main
# liblhasa (ISC licence), for LHA archives: lhasa_0.3.1-4.dsc.
fetch_source $pool/l/lhasa/lhasa_0.3.1.orig.tar.xz \
  fe7b76fa4359e42c80cb11537f8769da2f5d6c479f41717394d9409d46aa983d /usr/local/src/lhasa-0.3.1 lib/lha_reader.c
# libbzip2 (BSD-style licence), for bzip2 streams: bzip2_1.0.8-5.dsc.
fetch_source $pool/b/bzip2/bzip2_1.0.8.orig.tar.gz \
  ab5a03176ee106d3f0fa90e381da478ddae405918153cca248e682cd0c4a2269 /usr/local/src/bzip2-1.0.8 decompress.c
# liblzma (public domain), for xz streams: xz-utils_5.4.1-1.dsc.
fetch_source $pool/x/xz-utils/xz-utils_5.4.1.orig.tar.xz \
  5d9827aa1875b21c288f78864bb26d2650b436ea8d2cad364e4921eb6266a5a5 /usr/local/src/xz-5.4.1 \
  src/liblzma/common/stream_decoder.c
