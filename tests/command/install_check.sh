#!/bin/sh
# Installs the build into a fresh prefix and runs the installed command from there: it must find
# its plug-in in ../lib/quillframer/, with the header, man page, completions and the desktop's files
# in their places. Then the desktop's view of a movie: its type by content and by extension (the
# MIME database built from the installed package file), the thumbnailer's Exec line run as a file
# manager runs it, and file(1) with the installed magic.
# usage: install_check.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/quillframer lib/quillframer/quillframer.vtp include/quillframer/host_api.h \
    share/man/man1/quillframer.1 share/bash-completion/completions/quillframer share/zsh/site-functions/_quillframer \
    share/mime/packages/quillframer.xml share/thumbnailers/quillframer.thumbnailer share/quillframer/magic; do
    [ -f "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
# Nothing beside the executable: the plug-in comes from lib/quillframer.
out=$(env -u QUILLFRAMER_PLUGIN "$prefix/bin/quillframer" --version)
echo "$out"
echo "$out" | grep -q "^plug-in: Quill Framer .*$prefix/lib/quillframer/quillframer.vtp" ||
    { echo "the installed command did not load the installed plug-in"; exit 1; }

# A movie (the bounce example with its assets embedded, 320x240), the same bytes without the .qf,
# and a file that only looks like one by its name.
work=$prefix/work
mkdir -p "$work"
cp -r "$source/docs/examples/bounce" "$work/"
sed 's/"embed": false, //' "$work/bounce/bounce.json" >"$work/bounce/embedded.json"
"$prefix/bin/quillframer" make "$work/bounce/embedded.json" -o "$work/movie.qf" -q >/dev/null
cp "$work/movie.qf" "$work/movie.bin"
echo "not a movie" >"$work/notes.txt"
failed=0
fail() {
    echo "FAILED: $*"
    failed=$((failed + 1))
}

# file(1) with the installed fragment: both signatures, and nothing else.
magic=$prefix/share/quillframer/magic
file -b --magic-file "$magic" "$work/movie.bin" | grep -q "^Quill Framer movie" || fail "file: $(file -b --magic-file "$magic" "$work/movie.bin")"
[ "$(file -b --mime-type --magic-file "$magic" "$work/movie.bin")" = video/x-quillframer ] || fail "file --mime-type"
printf 'xSceneEditor%021dz' 0 >"$work/old.bin"
file -b --magic-file "$magic" "$work/old.bin" | grep -q "^Quill Framer movie" || fail "file: the older signature"
! file -b --magic-file "$magic" "$work/notes.txt" | grep -q "Quill Framer" || fail "file: a text file is a movie"

# The desktop's MIME database, built as update-mime-database builds it, asked through GIO as file
# managers ask: by content without the extension, by extension without the content.
update-mime-database "$prefix/share/mime" 2>"$work/mime.txt" || { cat "$work/mime.txt"; exit 1; }
content_type() {
    XDG_DATA_DIRS=$prefix/share XDG_DATA_HOME=$prefix/nowhere gio info -a standard::content-type "$1" |
        sed -n 's/^ *standard::content-type: //p'
}
[ "$(content_type "$work/movie.bin")" = video/x-quillframer ] || fail "by content: $(content_type "$work/movie.bin")"
[ "$(content_type "$work/movie.qf")" = video/x-quillframer ] || fail "by extension and content: $(content_type "$work/movie.qf")"
printf 'qf' >"$work/empty.qf"
[ "$(content_type "$work/empty.qf")" = video/x-quillframer ] || fail "by extension: $(content_type "$work/empty.qf")"

# The thumbnailer for the type, its Exec line with %s %i %o put in as a file manager puts them, run
# with the installed bin/ on PATH. 320x240 gives 128x96 at 128 and 512x384 at 512.
entry=$prefix/share/thumbnailers/quillframer.thumbnailer
grep -qx 'MimeType=video/x-quillframer;' "$entry" || fail "the thumbnailer is not for video/x-quillframer"
exec_line=$(sed -n 's/^Exec=//p' "$entry")
for size_and_dimensions in "128 128 x 96" "512 512 x 384"; do
    size=${size_and_dimensions%% *}
    run=$(printf '%s\n' "$exec_line" | sed -e "s|%s|$size|" -e "s|%i|'$work/movie.qf'|" -e "s|%o|'$work/poster.png'|")
    PATH=$prefix/bin:$PATH sh -c "$run" </dev/null >/dev/null || fail "the thumbnailer at $size: $run"
    file -b "$work/poster.png" | grep -q "^PNG image data, ${size_and_dimensions#* }," ||
        fail "the poster at $size: $(file -b "$work/poster.png")"
done
[ "$failed" -eq 0 ]
