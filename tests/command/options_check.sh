#!/usr/bin/env bash
# --help, the man page, docs/commands.md and both completions name the same options: every option
# each command's --help prints is in that command's part of the man page and of commands.md, and
# Tab after "quillframer COMMAND -" offers exactly those options, in bash (without the
# bash-completion package) and in a real zsh. Then a few values: folders, files, choices, commands.
# usage: options_check.sh QUILLFRAMER SOURCE_DIR
set -u
command=$1
source=$2
failed=0
fail() {
    echo "FAILED: $*"
    failed=$((failed + 1))
}

# The option names of a --help text's Options section (one per name, -o and --output apart).
help_options() {
    "$command" "$@" --help | awk '/^Options:/ {inside = 1; next} /^[^ ]/ {inside = 0} inside && /^  -/ {print $1}' |
        tr ',' '\n' | sort -u
}
commands=$("$command" --help | awk '/^Subcommands:/ {inside = 1; next} /^[^ ]/ {inside = 0} inside && /^  [a-z]/ {print $1}')
[ "$(echo "$commands" | wc -w)" -ge 10 ] || fail "only these commands in --help: $commands"

# Text with the man page's escapes taken out.
plain_man() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$source/docs/quillframer.1"; }
# The lines of $2 from the first that starts with $1 to the next that starts with $3.
block() { printf '%s\n' "$2" | awk -v head="$1" -v next_="$3" 'index($0, head) == 1 {inside = 1; print; next}
    inside && index($0, next_) == 1 {exit} inside'; }
names_option() { grep -qE "(^|[^-[:alnum:]])$1([^-[:alnum:]]|\$)"; }
man=$(plain_man)
markdown=$(cat "$source/docs/commands.md")

# bash: the completion function alone, on a bash that has no bash-completion.
bash_complete() {
    bash --norc --noprofile -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quillframer
        printf "%s\n" "${COMPREPLY[@]}"' bash "$source/scripts/completion/quillframer.bash" "$@" | sort -u
}
# zsh: the lines are gathered and completed at the end by one shell.
zsh_lines=() zsh_wanted=()
zsh_expect() {  # line, wanted
    zsh_lines+=("$1")
    zsh_wanted+=("$2")
}
same() {  # what, wanted, got
    [ "$2" = "$3" ] || fail "$1: wanted $(echo $2), got $(echo $3)"
}

for name in $commands; do
    wanted=$(help_options "$name")
    [ -n "$wanted" ] || fail "$name --help lists no options"
    man_part=$(block ".SS \"quillframer $name " "$man" ".S")
    md_part=$(block "#### \`quillframer $name " "$markdown" "#### ")
    [ -n "$man_part" ] || fail "the man page has no part for $name"
    [ -n "$md_part" ] || fail "docs/commands.md has no part for $name"
    for option in $wanted; do
        printf '%s\n' "$man_part" | names_option "$option" || fail "the man page's $name lacks $option"
        printf '%s\n' "$md_part" | names_option "$option" || fail "docs/commands.md's $name lacks $option"
    done
    same "bash: quillframer $name -" "$wanted" "$(bash_complete quillframer "$name" -)"
    zsh_expect "quillframer $name -" "$wanted"
done
wanted=$(help_options)
options_part=$(block ".SH OPTIONS" "$man" ".SH")
for option in $wanted; do
    printf '%s\n' "$options_part" | names_option "$option" || fail "the man page's OPTIONS lack $option"
done
same "bash: quillframer -" "$wanted" "$(bash_complete quillframer -)"
zsh_expect "quillframer -" "$wanted"
commands=$(echo "$commands" | sort)
same "bash: quillframer" "$commands" "$(bash_complete quillframer "")"
zsh_expect "quillframer " "$commands"

# Values, in a folder holding one folder and one file that start alike.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir "a folder" && touch "a file"
same "bash: extract's -o takes a folder" "a folder" "$(bash_complete quillframer extract m.qf -o a)"
zsh_expect "quillframer extract m.qf -o a" "a folder"
same "bash: a movie is any file" "$(printf 'a file\na folder')" "$(bash_complete quillframer info a)"
zsh_expect "quillframer info a" "$(printf 'a file\na folder')"
same "bash: --plugin=PATH" "$(printf 'a file\na folder')" "$(bash_complete quillframer --plugin = a)"
same "bash: --aspect" "$(printf 'ntsc\npal\nsquare')" "$(bash_complete quillframer frame m.qf --aspect "")"
zsh_expect "quillframer frame m.qf --aspect " "$(printf 'ntsc\npal\nsquare')"
same "bash: a time is typed" "" "$(bash_complete quillframer frame m.qf --at a)"
same "bash: options before the command" "--json" "$(bash_complete quillframer --volume W=a info --js)"
zsh_expect "quillframer --volume W=a info --js" "--json"

# zsh shows a match as it would insert it: "a\ file".
zsh -f "$source/tests/command/zsh_complete.zsh" "$source/scripts/completion" "${zsh_lines[@]}" | sed 's/\\//g' >zsh.txt
for i in "${!zsh_lines[@]}"; do
    same "zsh: ${zsh_lines[i]}" "${zsh_wanted[i]}" "$(awk -F '\t' -v n=$((i + 1)) '$1 == n {print $2}' zsh.txt | sort -u)"
done

echo "$(echo $commands | wc -w) commands checked, $failed failed"
[ "$failed" -eq 0 ]
