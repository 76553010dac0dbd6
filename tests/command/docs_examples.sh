#!/bin/sh
# Runs every line of the ```sh examples in docs/commands.md as printed, with only the command's
# path put in, in a fresh folder holding movie.qf (the bounce example, every asset embedded, 9.6 s),
# docs/examples/bounce and an empty ~/amiga/Work. Run by sh, not bash: the command itself must
# expand the ~ of NAME=~/x. `play` gets --frames and SDL's dummy drivers: no display here.
# usage: docs_examples.sh QUILLFRAMER SOURCE_DIR
set -u
command=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir -p docs/examples home/amiga/Work
cp -r "$source/docs/examples/bounce" docs/examples/
export HOME="$work/home" SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
# Long enough for the examples' times: a last scene of 8 s.
sed -e 's/"embed": false, //' -e 's/"reverse": true } \] }$/&, { "seconds": 8 }/' docs/examples/bounce/bounce.json \
    >docs/examples/bounce/embedded.json
"$command" make docs/examples/bounce/embedded.json -o movie.qf -y -q >/dev/null || exit 1
rm docs/examples/bounce/embedded.json

failed=0
count=0
awk '/^```sh$/ {inside = 1; next} /^```$/ {inside = 0} inside && !/^ *#/ && NF' "$source/docs/commands.md" >examples.txt
while IFS= read -r line; do
    count=$((count + 1))
    run=$(printf '%s\n' "$line" | sed "s|^quillframer |\"$command\" |")
    case $line in *" play "*) run="$run --frames 5" ;; esac
    if ! sh -c "$run" </dev/null >out.txt 2>err.txt; then
        # A part this build left out (the web player without Emscripten) is no fault of the docs.
        if grep -q "was not built" err.txt; then
            echo "skipped: $line: $(cat err.txt)"
            continue
        fi
        echo "FAILED: $line"
        cat err.txt
        failed=$((failed + 1))
    fi
done <examples.txt
[ "$count" -gt 10 ] || { echo "only $count examples found"; exit 1; }
echo "$count examples, $failed failed"
[ "$failed" -eq 0 ]
