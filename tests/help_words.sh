# Sourced by the shell tests: the words that kyfw's and the window's --help
# show, one a line. Each function fails when --help fails or shows none, so
# that a check over them cannot pass on an empty list.

# help_text PROGRAM [ARG...]: the program's standard output, bounded in time.
help_text() {
    timeout 20 "$@" </dev/null
}

# kyfw_options KYFW [SUBCOMMAND]: every option of its --help (-h and --help
# alike).
kyfw_options() {
    local text
    text="$(help_text "$1" ${2:+"$2"} --help)" || return 1
    awk '/^Options:/ { on = 1; next } /^[A-Z]/ { on = 0 }
         on && /^  -/ { n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i] }' \
        <<<"$text" | grep . || return 1
}

# kyfw_commands KYFW: the subcommands.
kyfw_commands() {
    local text
    text="$(help_text "$1" --help)" || return 1
    awk '/^Subcommands:/ { on = 1; next } /^[A-Z]/ { on = 0 } on && /^  [a-z]/ { print $1 }' \
        <<<"$text" | grep . || return 1
}

# kyfw_faults KYFW: the names that --sim-fault takes, from its description.
kyfw_faults() {
    local text
    text="$(help_text "$1" --help)" || return 1
    sed -n -E 's/^ {20,}([a-z][a-z0-9-]*): .*/\1/p' <<<"$text" | grep . || return 1
}

# window_options KY_FIRMWARE_UPDATE: every option its usage names.
window_options() {
    local text
    text="$(help_text "$1" --help)" || return 1
    grep -o -E '(^|[][ ,])--?[a-zA-Z][a-zA-Z0-9-]*' <<<"$text" | sed -E 's/^[][ ,]//' |
        sort -u | grep . || return 1
}
