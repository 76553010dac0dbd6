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
  curl xz-utils  # liblhasa's source for the web page, below
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

# liblhasa's source (ISC licence), which web/CMakeLists.txt compiles with emcc for the browser
# page's LHA reader: Debian's upstream tarball of the lhasa package above, checked against the
# SHA-256 that Debian's lhasa_0.3.1-4.dsc lists, unpacked into a fixed place.
lhasa_dir=/usr/local/src/lhasa-0.3.1
lhasa_sha256=fe7b76fa4359e42c80cb11537f8769da2f5d6c479f41717394d9409d46aa983d
if [ ! -f "$lhasa_dir/lib/lha_reader.c" ]; then
  echo "install-deps: fetching liblhasa's source into $lhasa_dir"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  curl -sSfL -o "$tmp/lhasa.tar.xz" http://deb.debian.org/debian/pool/main/l/lhasa/lhasa_0.3.1.orig.tar.xz
  echo "$lhasa_sha256  $tmp/lhasa.tar.xz" | sha256sum -c --quiet
  $SUDO mkdir -p "$(dirname "$lhasa_dir")"
  $SUDO tar -xJf "$tmp/lhasa.tar.xz" -C "$(dirname "$lhasa_dir")"
fi
