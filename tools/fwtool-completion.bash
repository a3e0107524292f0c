# SPDX-License-Identifier: MIT
# bash completion for fwtool: commands, sub-commands, options and the files they take.
_fwtool()
{
    local cur prev words cword
    _init_completion -s 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }

    case $prev in
    --kernel | --root | -o | --oem | --evt-lib | --image | --key)
        _filedir 2>/dev/null || mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --running-bank)
        mapfile -t COMPREPLY < <(compgen -W '0 1' -- "$cur")
        return
        ;;
    --keyring)
        _filedir -d 2>/dev/null || mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    --model | --kernel-size | --root-size | --timeout | --version)
        return
        ;;
    esac

    local family=${words[1]:-} sub=${words[2]:-} opts=""
    if [ "$cword" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -W 'image key sandbox status progress help --help --version' -- "$cur")
        return
    fi
    case $family in
    help)
        [ "$cword" -eq 2 ] && mapfile -t COMPREPLY < <(compgen -W 'image key sandbox status progress' -- "$cur")
        return
        ;;
    image)
        if [ "$cword" -eq 2 ]; then
            mapfile -t COMPREPLY < <(compgen -W 'create info manifest sign verify help --help' -- "$cur")
            return
        fi
        case $sub in
        create) opts='--model --kernel --root -o --help' ;;
        info) opts='--json --help' ;;
        manifest) opts='--key --version --help' ;;
        sign) opts='--key -o --version --help' ;;
        verify) opts='--keyring --help' ;;
        esac
        ;;
    key)
        if [ "$cword" -eq 2 ]; then
            mapfile -t COMPREPLY < <(compgen -W 'create --help' -- "$cur")
            return
        fi
        opts='-o --help'
        ;;
    sandbox)
        if [ "$cword" -eq 2 ]; then
            mapfile -t COMPREPLY < <(compgen -W 'create stage reboot help --help' -- "$cur")
            return
        fi
        case $sub in
        create) opts='--running-bank --model --kernel-size --root-size --evt-lib --force --help' ;;
        stage) opts='--oem --nooem --force --help' ;;
        reboot) opts='--help' ;;
        esac
        ;;
    status) opts='--json --image --help' ;;
    progress) opts='--watch --timeout --json --help' ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
    elif [ "$family" != progress ]; then
        _filedir 2>/dev/null || mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -F _fwtool fwtool
