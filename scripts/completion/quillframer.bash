# bash completion for quillframer: commands, their options and the files they take.
_quillframer()
{
    local cur prev words cword
    _init_completion || return
    local commands="info dump export extract frame sheet play make demo"
    local common="--volume --plugin --max-pixels --max-file-size --quiet --help"
    local command="" word
    for word in "${words[@]:1:cword-1}"; do
        case " $commands " in *" $word "*) command=$word; break ;; esac
    done
    case $prev in
        --plugin) _filedir vtp; return ;;
        -o | --output | --video | --audio) _filedir; return ;;
        -f | --format) COMPREPLY=($(compgen -W "mp4 webm mkv matroska gif wav" -- "$cur")); return ;;
        --volume | --max-pixels | --max-file-size | --at | --start | --duration | --scale | --every | --columns | --shrink | --seek | --packets) return ;;
    esac
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands --version --help $common" -- "$cur"))
        return
    fi
    local options
    case $command in
        info) options="--json --scenes --files" ;;
        dump) options="--video --audio --seek --packets" ;;
        export) options="-o -f --format --scale --start --duration -y -n" ;;
        frame) options="--at -o --scale -y -n" ;;
        sheet) options="-o --every --columns --shrink -y -n" ;;
        play) options="--scale --fullscreen --frames" ;;
        extract) options="-o -y -n" ;;
        make) options="-o -y -n" ;;
        demo) options="-o --web-only -y -n" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options $common" -- "$cur"))
    elif [[ $command == make ]]; then
        _filedir json
    else
        _filedir
    fi
}
complete -F _quillframer quillframer
