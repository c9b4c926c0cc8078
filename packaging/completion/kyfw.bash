# bash completion for kyfw, the Ky's firmware updater             -*- shell-script -*-
# Installed as share/bash-completion/completions/kyfw, where bash-completion
# loads it the first time kyfw is completed; or source it yourself.

# The GUID, device file and unit of each Ky, one a line, as "kyfw list
# --names" prints them, from the kyfw on the line ($1) with the options that
# choose its bus (the rest). Nothing when kyfw cannot list: completion fails
# quietly.
_kyfw_devices() {
    local -a deadline=()
    command -v timeout >/dev/null 2>&1 && deadline=(timeout 10)
    "${deadline[@]}" "$@" list --names 2>/dev/null </dev/null
}

_kyfw() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--option=value" comes as three words: the option, "=" and the value.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    local globals="-h --help --version --simulate --sim-reset --sim-fault -v --verbose
        --record --record-anonymous --replay --replay-timing"
    local faults="update-mode-unanswered not-ready erase-unanswered erase-failure
        erase-timeout header-busy block-busy crc-rejected mcore-erase-failure
        mcore-crc-rejected vanish bus-reset in-use restart-old-firmware
        restart-never-back absent"
    local commands="list info update help"
    # Beside the global ones, which include -h and --help.
    local -A options=(
        [list]="--json --names"
        [info]="--json"
        [update]="--json --device --all --jobs -y --yes --allow-downgrade --reinstall --wait
            --no-wait --wait-timeout"
    )

    # The words before the cursor, "--option=value" joined again; the
    # subcommand; the options that choose the bus, for --device's list
    # (--record would write a recording, --replay-timing take its time).
    local -a args=() bus=()
    local i=1 word command=
    while ((i < COMP_CWORD)); do
        if [[ ${COMP_WORDS[i]} == = ]] && ((${#args[@]} > 0 && i + 1 < COMP_CWORD)); then
            args[${#args[@]} - 1]+="=${COMP_WORDS[i + 1]}"
            ((i += 2))
        else
            args+=("${COMP_WORDS[i]}")
            ((i++))
        fi
    done
    for ((i = 0; i < ${#args[@]}; i++)); do
        word=${args[i]}
        case $word in
        --simulate | --sim-reset | --sim-fault=* | --replay=*) bus+=("$word") ;;
        --sim-fault | --replay)
            bus+=("$word" "${args[i + 1]/#\~\//$HOME/}")
            ((i++))
            ;;
        --record | --device | --wait-timeout | --jobs) ((i++)) ;;
        -*) ;;
        *) [[ -z $command ]] && command=$word ;;
        esac
    done

    COMPREPLY=()
    case $prev in
    --sim-fault)
        mapfile -t COMPREPLY < <(compgen -W "$faults" -- "$cur")
        return
        ;;
    --record | --replay)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    --device)
        local kyfw=${COMP_WORDS[0]/#\~\//$HOME/}
        while IFS= read -r word; do
            [[ $word == "$cur"* ]] && COMPREPLY+=("$word")
        done < <(_kyfw_devices "$kyfw" "${bus[@]}")
        return
        ;;
    --wait-timeout | --jobs) return ;;
    esac

    if [[ $cur == -* ]]; then
        local words=$globals
        [[ -n $command ]] && words+=" ${options[$command]-}"
        mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    elif [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    elif [[ $command == help && ${#args[@]} -gt 0 && ${args[${#args[@]} - 1]} == help ]]; then
        mapfile -t COMPREPLY < <(compgen -W "list info update" -- "$cur")
    fi
}
complete -F _kyfw kyfw
