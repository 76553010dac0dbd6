# bash completion for quillframer: its commands, their options and the files they take.
# Written by scripts/gen-docs.py from the command's options (make docs): change those, not this.
# Plain bash (complete -F and compgen), so it needs no bash-completion package: source it from
# ~/.bashrc, or let bash-completion load it from share/bash-completion/completions.

# Files (-f) or folders (-d) that start with $2, names with spaces kept whole.
_quillframer_paths()
{
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen "$1" -- "$2")
}

_quillframer()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} command="" i
    # bash splits --name=value at the =: the value belongs to the option before it.
    if [[ $cur == = ]]; then
        cur=""
    elif [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --volume | --search | --plugin | --max-pixels | --max-file-size) [[ ${COMP_WORDS[i + 1]} == = ]] && ((i++)); ((i++)) ;;
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done
    case $command in
        info)
            case $prev in
                -j | --jobs | --volume | --max-pixels | --max-file-size) :; return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
                --plugin) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help --json --scenes -v --verbose --files -j --jobs --volume --search --plugin --max-pixels --max-file-size -q --quiet" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        dump)
            case $prev in
                --video | --audio | --plugin) _quillframer_paths -f "$cur"; return ;;
                --seek | --packets | --volume | --max-pixels | --max-file-size) :; return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help --video --audio --seek --packets --volume --search --plugin --max-pixels --max-file-size -q --quiet" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        export)
            case $prev in
                -o | --output | --plugin) _quillframer_paths -f "$cur"; return ;;
                -f | --format) COMPREPLY=($(compgen -W "mp4 webm mkv matroska gif wav" -- "$cur")); return ;;
                --scale | --start | --duration | --fit | -j | --jobs | --volume | --max-pixels | --max-file-size) :; return ;;
                --aspect) COMPREPLY=($(compgen -W "square pal ntsc" -- "$cur")); return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help -o --output -f --format --scale --start --duration --aspect --fit -j --jobs --volume --search --plugin --max-pixels --max-file-size -q --quiet -y --overwrite -n --no-overwrite" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        extract)
            case $prev in
                -o | --output | --search) _quillframer_paths -d "$cur"; return ;;
                --volume | --max-pixels | --max-file-size) :; return ;;
                --plugin) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help -o --output --salvage --volume --search --plugin --max-pixels --max-file-size -q --quiet -y --overwrite -n --no-overwrite" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        frame)
            case $prev in
                --at | --scale | --fit | -j | --jobs | --volume | --max-pixels | --max-file-size) :; return ;;
                -o | --output | --plugin) _quillframer_paths -f "$cur"; return ;;
                --aspect) COMPREPLY=($(compgen -W "square pal ntsc" -- "$cur")); return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help --at -o --output --scale --aspect --fit -j --jobs --volume --search --plugin --max-pixels --max-file-size -q --quiet -y --overwrite -n --no-overwrite" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        sheet)
            case $prev in
                -o | --output | --plugin) _quillframer_paths -f "$cur"; return ;;
                --every | --columns | --shrink | -j | --jobs | --volume | --max-pixels | --max-file-size) :; return ;;
                --aspect) COMPREPLY=($(compgen -W "square pal ntsc" -- "$cur")); return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help -o --output --every --columns --shrink --aspect -j --jobs --volume --search --plugin --max-pixels --max-file-size -q --quiet -y --overwrite -n --no-overwrite" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        play)
            case $prev in
                --scale | --frames | --volume | --max-pixels | --max-file-size) :; return ;;
                --aspect) COMPREPLY=($(compgen -W "square pal ntsc" -- "$cur")); return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
                --plugin) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help --scale --fullscreen --loop --osd --aspect --frames --volume --search --plugin --max-pixels --max-file-size -q --quiet" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        make)
            case $prev in
                -o | --output) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help -o --output --strict-colours --no-quantise --dither -q --quiet -y --overwrite -n --no-overwrite" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        demo)
            case $prev in
                -o | --output | --search) _quillframer_paths -d "$cur"; return ;;
                --volume | --max-pixels | --max-file-size) :; return ;;
                --plugin) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help -o --output --web-only --volume --search --plugin --max-pixels --max-file-size -q --quiet -y --overwrite -n --no-overwrite" -- "$cur"))
            fi
            ;;
        thumbnail)
            case $prev in
                -s | --size | --at | --volume | --max-pixels | --max-file-size) :; return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
                --plugin) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help -s --size --at --volume --search --plugin --max-pixels --max-file-size -q --quiet" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        scan)
            case $prev in
                -o | --output | --merge | --search) _quillframer_paths -d "$cur"; return ;;
                --export) COMPREPLY=($(compgen -W "mp4 webm gif" -- "$cur")); return ;;
                --shard | -j | --jobs | --volume | --max-pixels | --max-file-size) :; return ;;
                --plugin) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help -o --output --merge --export --csv --shard -j --jobs --volume --search --plugin --max-pixels --max-file-size -q --quiet" -- "$cur"))
            else
                _quillframer_paths -f "$cur"
            fi
            ;;
        help)
            case $prev in
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "info dump export extract frame sheet play make demo thumbnail scan help" -- "$cur"))
            fi
            ;;
        *)
            case $prev in
                --volume | --max-pixels | --max-file-size) :; return ;;
                --search) _quillframer_paths -d "$cur"; return ;;
                --plugin) _quillframer_paths -f "$cur"; return ;;
            esac
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W "-h --help --volume --search --plugin --max-pixels --max-file-size -q --quiet -V --version" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "info dump export extract frame sheet play make demo thumbnail scan help" -- "$cur"))
            fi
            ;;
    esac
}
complete -F _quillframer quillframer
