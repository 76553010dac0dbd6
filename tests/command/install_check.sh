#!/bin/sh
# Installs the build into a fresh prefix and runs the installed command from there: it must find
# its plug-in in ../lib/quillframer/, with the header, man page and completions in their places.
# usage: install_check.sh BUILD_DIR
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/quillframer lib/quillframer/quillframer.vtp include/quillframer/host_api.h \
    share/man/man1/quillframer.1 share/bash-completion/completions/quillframer share/zsh/site-functions/_quillframer; do
    [ -f "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
# Nothing beside the executable: the plug-in comes from lib/quillframer.
out=$(env -u QUILLFRAMER_PLUGIN "$prefix/bin/quillframer" --version)
echo "$out"
echo "$out" | grep -q "^plug-in: Quill Framer .*$prefix/lib/quillframer/quillframer.vtp" ||
    { echo "the installed command did not load the installed plug-in"; exit 1; }
