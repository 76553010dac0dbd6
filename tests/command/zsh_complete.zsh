#!/usr/bin/env zsh
# Completes command lines in a real interactive zsh, as Tab would, with the completion functions
# of DIR and zsh's own general ones (the rest would only slow compinit down), and prints each match
# as "N<tab>match", N the line's number from 1. One shell does all: compinit takes seconds.
# usage: zsh -f zsh_complete.zsh DIR 'quillframer export --' 'quillframer info -'...
emulate -L zsh
zmodload zsh/zpty || exit 2
dir=$1
shift
zpty shell zsh -f -i
# Each match the completion system adds is printed as well; Tab then prints the end mark, which
# comes even when the completion fails. The marks are split in the source so
# that the shell's echo of it never looks like one.
zpty -w shell "PS1='' PS2=''; unset zle_bracketed_paste; fpath=(${(q)dir} \${(M)fpath:#*/Completion(|/Base|/Unix|/Zsh)}); autoload -Uz compinit; compinit -u -D"
zpty -w shell 'compadd() {
  if [[ ${(j: :)@} == *-[OAD]\ * ]]; then builtin compadd "$@"; return; fi
  local -a qf_matches; builtin compadd -O qf_matches "$@"
  (( $#qf_matches )) && print -rl -- "<ma""tch>"${^qf_matches}
  builtin compadd "$@"
}
zstyle ":completion:*" list-grouped false
qf-complete() { zle complete-word; print -r -- "<e""nd>"; BUFFER= }
zle -N qf-complete
bindkey "^I" qf-complete'
n=0
for line; do
  (( n++ ))
  zpty -w -n shell "$line"$'\t'
  while zpty -r shell out; do
    out=${out%$'\r'*}
    [[ $out == *"<end>"* ]] && break
    [[ $out == *"<match>"* ]] && print -r -- "$n"$'\t'${out#*<match>}
  done
done
zpty -d shell
