#!/usr/bin/env bash
# ky-firmware-update answers --help and --version without a display: no X
# server, no Wayland compositor and no Qt platform asked for.
#   window_help_test.sh KY_FIRMWARE_UPDATE VERSION
set -euo pipefail
program="$1" version="$2"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
run() {
    local status=0
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$scratch" \
        XDG_STATE_HOME="$scratch/state" timeout 20 "$program" "$@" \
        >"$scratch/out" 2>"$scratch/err" </dev/null || status=$?
    echo "$status"
}
failures=0
check() {
    if [ "$2" = "$3" ]; then echo "ok: $1"; else
        echo "FAIL: $1: got \"$2\", expected \"$3\""
        failures=$((failures + 1))
    fi
}
for help in --help -h; do
    check "$help exits 0" "$(run "$help")" 0
    check "$help prints the usage on standard output" "$(head -n 1 "$scratch/out")" \
        "usage: ky-firmware-update [--simulate] [--record FILE] [--verbose] [Qt options]"
    check "$help says nothing on standard error" "$(cat "$scratch/err")" ""
done
check "--version after other options exits 0" "$(run --simulate --version)" 0
check "--version prints the version" "$(cat "$scratch/out")" "ky-firmware-update $version"
check "--version says nothing on standard error" "$(cat "$scratch/err")" ""
# A recording may be called --help: that is the file of --record, not a
# request for help, and the wrong option after it is the usage error.
status=0
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$scratch" XDG_STATE_HOME="$scratch/state" \
    timeout 20 "$program" --record --help --frobnicate </dev/null \
    >"$scratch/out" 2>"$scratch/err" || status=$?
check "--record --help --frobnicate is a usage error" "$status" 64
check "... naming the wrong word, then the usage, on standard error only" \
    "$(head -n 1 "$scratch/err")/$(sed -n '2s/ .*//p' "$scratch/err")/$(cat "$scratch/out")" \
    'ky-firmware-update: "--frobnicate" is not an option of this program/usage:/'
# A wrong command line is a usage error before any display is needed, and
# says what is wrong before the usage.
for wrong in --bogus --record; do
    check "$wrong without a display is a usage error" "$(run "$wrong")" 64
    case "$wrong" in
    --bogus) why='"--bogus" is not an option of this program' ;;
    --record) why='--record needs the file to write the recording to' ;;
    esac
    check "... saying so" "$(head -n 1 "$scratch/err")" "ky-firmware-update: $why"
    check "... with the usage after it" "$(sed -n '2s/ .*//p' "$scratch/err")" "usage:"
done
[ "$failures" -eq 0 ] || exit 1
