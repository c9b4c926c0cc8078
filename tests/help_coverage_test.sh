#!/usr/bin/env bash
# Holds the man pages and the shell completions to what the programs'
# --help shows: every option of kyfw and of its subcommands, every
# subcommand and every --sim-fault name is described in kyfw(1) and known
# to the bash, zsh and fish completions; every option of
# ky-firmware-update's usage is described in its page. --help is where
# they are added first; this test says where else they must go.
#   help_coverage_test.sh KYFW KY_FIRMWARE_UPDATE KYFW_PAGE WINDOW_PAGE BASH ZSH FISH
# (a page may be gzipped, as installed).
set -euo pipefail
source "$(dirname "$0")/help_words.sh"
kyfw="$1" window="$2" kyfw_page="$3" window_page="$4"
bash_file="$5" zsh_file="$6" fish_file="$7"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The page as man shows it, in plain text, one line a paragraph (no line
# breaks, no hyphenation) and in ASCII (groff's \- as -).
render() {
    zcat -f "$1" | timeout 20 groff -man -Tascii -P-cbou -rLL=10000n -rHY=0 2>/dev/null
}
# The first word of a line: a tag of an item, such as "-h, --help" or a
# name, not a word within a paragraph.
tags() {
    sed -n -E 's/^ +//p' | sed -E 's/^((-[A-Za-z0-9-]+, )*)//; s/[ ,].*//' | sort -u
}
# The short options of items, which stand before a long one: "-h, --help".
short_tags() {
    { grep -o -E '^ +(-[A-Za-z0-9], )+' || true; } | grep -o -E -e '-[A-Za-z0-9]' | sort -u || true
}
# whole_word WORD FILE: WORD stands in FILE, not as a part of a longer name.
whole_word() {
    grep -q -E "(^|[^A-Za-z0-9_-])$1([^A-Za-z0-9_-]|\$)" "$2"
}

commands="$(kyfw_commands "$kyfw")"
kyfw_options="$(
    kyfw_options "$kyfw"
    for command in $commands; do kyfw_options "$kyfw" "$command"; done
)"
kyfw_options="$(sort -u <<<"$kyfw_options")"
faults="$(kyfw_faults "$kyfw")"
window_options="$(window_options "$window")"

kyfw_tags="$(render "$kyfw_page" | tags)"
# Short options are tags as "-h, --help": each one in front of a long one.
kyfw_short="$(render "$kyfw_page" | short_tags)"
# Looked up from a string, not a pipe: grep -q leaves at the first match,
# and a writer cut off then would fail the pipeline.
kyfw_items="$(printf '%s\n' "$kyfw_tags" "$kyfw_short")"
[ -n "$kyfw_tags" ] || fail "$kyfw_page renders to nothing"
for word in $kyfw_options $commands $faults; do
    grep -q -x -F -e "$word" <<<"$kyfw_items" ||
        fail "$kyfw_page does not describe $word"
done
window_tags="$(render "$window_page" | tags)"
window_short="$(render "$window_page" | short_tags)"
window_items="$(printf '%s\n' "$window_tags" "$window_short")"
for word in $window_options; do
    grep -q -x -F -e "$word" <<<"$window_items" ||
        fail "$window_page does not describe $word"
done

for file in "$bash_file" "$zsh_file"; do
    for word in $kyfw_options $commands $faults; do
        whole_word "$word" "$file" || fail "$file does not complete $word"
    done
done
# fish names an option by -s h or -l help.
for word in $kyfw_options; do
    case $word in
    --*) whole_word "-l ${word#--}" "$fish_file" || fail "$fish_file does not complete $word" ;;
    -*) whole_word "-s ${word#-}" "$fish_file" || fail "$fish_file does not complete $word" ;;
    esac
done
for word in $commands $faults; do
    whole_word "$word" "$fish_file" || fail "$fish_file does not complete $word"
done

echo "checked $(wc -w <<<"$kyfw_options $commands $faults") words of kyfw --help and" \
    "$(wc -w <<<"$window_options") of ky-firmware-update --help"
[ "$failures" -eq 0 ] || { echo "$failures words are missing"; exit 1; }
