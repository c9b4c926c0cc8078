#!/usr/bin/env bash
# Completes kyfw's command lines the way bash does, through the completion
# function that the completion file registers for kyfw, and checks what it
# offers against kyfw --help and kyfw list: the subcommands, update's
# options, the fault names and the simulated Kys. When fish is on the
# machine, its completion is asked the same; zsh's file is checked for its
# syntax when zsh is there.
#   completion_test.sh KYFW BASH_COMPLETION [FISH_COMPLETION [ZSH_COMPLETION]]
set -euo pipefail
here="$(dirname "$0")"
source "$here/help_words.sh"
kyfw="$(realpath "$1")"
bash_file="$(realpath "$2")"
fish_file="${3:+$(realpath "$3")}"
zsh_file="${4:+$(realpath "$4")}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The line says "kyfw", found on PATH as an installed one would be; it
# works on simulated Kys of its own and sees no processes but its own.
mkdir "$scratch/bin" "$scratch/proc"
ln -s "$kyfw" "$scratch/bin/kyfw"
export PATH="$scratch/bin:$PATH" XDG_STATE_HOME="$scratch/state" KYFW_SIM_STATE="$scratch/sim" \
    KYFW_SIM_FAST=1 KYTEST_PROCFS="$scratch/proc"
unset KYFW_SIM_COUNT KYFW_SIM_RESET KYFW_SIM_POWER_CYCLE_AFTER
failures=0

# bash_complete WORD...: COMPREPLY, sorted, for the line of these words
# with the cursor at the end of the last one (give "" to complete a new
# word), as bash sets it up: COMP_WORDS, COMP_CWORD, COMP_LINE, COMP_POINT.
bash_complete() {
    timeout 30 bash --norc --noprofile -c '
        file="$1"; shift
        source "$file"
        registered="$(complete -p kyfw)"
        [[ $registered == "complete -F "*" kyfw" ]] || { echo "not registered: $registered" >&2; exit 1; }
        function="${registered#complete -F }"; function="${function% kyfw}"
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_LINE="${COMP_LINE// = /=}"
        COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        "$function" kyfw "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_file" "$@" | grep . | sort || true
}

# fish_complete LINE: what fish offers at the end of LINE, without the
# descriptions, sorted.
fish_complete() {
    timeout 30 fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$fish_file" "$1" |
        cut -f1 | sort || true
}

# expect WHAT ACTUAL EXPECTED: the two lists, one word a line, are the same.
expect() {
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1"
        diff <(echo "$3") <(echo "$2") | sed 's/^/    /' || true
        failures=$((failures + 1))
    else
        echo "ok: $1"
    fi
}

commands="$(kyfw_commands "$kyfw" | sort)"
update_options="$( (kyfw_options "$kyfw" && kyfw_options "$kyfw" update) | sort -u)"
faults="$(kyfw_faults "$kyfw" | sort)"
guid() { kyfw --simulate list | sed -n -E "s/^Ky $1: .*GUID (0x[0-9a-f]{16})\)$/\1/p"; }
first_guid="$(guid 1)"
[ -n "$first_guid" ] || { echo "kyfw --simulate list shows no GUID"; exit 1; }
node="$KYFW_SIM_STATE/fw-simulated"
kys="$(printf '%s\n' "$first_guid" "$node" sim0.0 | sort)"

expect "bash: the subcommands after 'kyfw '" "$(bash_complete kyfw "")" "$commands"
expect "bash: update's and the global options after 'kyfw update --'" \
    "$(bash_complete kyfw update --)" "$(grep -- '^--' <<<"$update_options")"
expect "bash: update's and the global short options after 'kyfw update -'" \
    "$(bash_complete kyfw update - | grep -v -- '^--')" "$(grep -v -- '^--' <<<"$update_options")"
expect "bash: list's and the global options after 'kyfw list --', none of update's" \
    "$(bash_complete kyfw list --)" \
    "$( (kyfw_options "$kyfw" && kyfw_options "$kyfw" list) | grep -- '^--' | sort -u)"
expect "bash: the faults after 'kyfw --simulate update --sim-fault '" \
    "$(bash_complete kyfw --simulate update --sim-fault "")" "$faults"
expect "bash: the faults that begin so after '--sim-fault=re'" \
    "$(bash_complete kyfw --simulate update --sim-fault = re)" "$(grep '^re' <<<"$faults")"
expect "bash: the simulated Ky after 'kyfw --simulate update --device '" \
    "$(bash_complete kyfw --simulate update --device "")" "$kys"
expect "bash: the Ky whose GUID begins so after '--device=${first_guid:0:17}'" \
    "$(bash_complete kyfw --simulate update --device = "${first_guid:0:17}")" "$first_guid"
expect "bash: the subcommand's topics after 'kyfw help '" \
    "$(bash_complete kyfw help "")" "$(printf '%s\n' info list update)"
# The options that choose the bus go along to kyfw list: a fault that
# takes the Ky away leaves nothing to offer; three Kys give three of each.
expect "bash: no Ky after 'kyfw --simulate --sim-fault absent update --device '" \
    "$(bash_complete kyfw --simulate --sim-fault absent update --device "")" ""
three="$(KYFW_SIM_COUNT=3 bash_complete kyfw --simulate update --device "")"
expect "bash: three GUIDs, device files and units with KYFW_SIM_COUNT=3" "$(wc -l <<<"$three")" 9
expect "bash: the unit that begins so after '--device sim1'" \
    "$(KYFW_SIM_COUNT=3 bash_complete kyfw --simulate update --device sim1)" \
    "sim1.0"
# A device file that would not print as it is cannot be typed: it is left out.
expect "bash: the GUID and unit alone when the device file holds a control character" \
    "$(KYFW_SIM_STATE="$scratch/s"$'\x7f' bash_complete kyfw --simulate update --device "")" \
    "$(printf '%s\n' "$first_guid" sim0.0 | sort)"
# Without --simulate nothing is looked up on this machine's bus here: a
# recording that cannot be read shows that kyfw's failure stays quiet.
err="$(bash_complete kyfw --replay "$scratch/none.jsonl" update --device "" 2>&1)"
expect "bash: nothing, and nothing said, when kyfw cannot list" "$err" ""

if [ -n "$fish_file" ] && command -v fish >/dev/null; then
    timeout 30 fish --no-execute "$fish_file"
    expect "fish: the subcommands after 'kyfw '" "$(fish_complete 'kyfw ')" "$commands"
    expect "fish: update's and the global options after 'kyfw update --'" \
        "$(fish_complete 'kyfw update --' | grep -- '^--')" "$(grep -- '^--' <<<"$update_options")"
    expect "fish: the faults after 'kyfw --simulate update --sim-fault '" \
        "$(fish_complete 'kyfw --simulate update --sim-fault ')" "$faults"
    expect "fish: the simulated Ky after 'kyfw --simulate update --device '" \
        "$(fish_complete 'kyfw --simulate update --device ')" "$kys"
else
    echo "skipped: fish is not on this machine"
fi
if [ -n "$zsh_file" ] && command -v zsh >/dev/null; then
    timeout 30 zsh -n "$zsh_file" && echo "ok: zsh reads $zsh_file"
else
    echo "skipped: zsh is not on this machine"
fi
[ "$failures" -eq 0 ] || { echo "$failures completion checks failed"; exit 1; }
