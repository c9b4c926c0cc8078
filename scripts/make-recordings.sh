#!/usr/bin/env bash
# Makes the kept recordings of the simulated Ky in tests/recordings anew
# (a listing, an update that waits for a confirmed restart, and an update
# with each --sim-fault, those of a restart with --wait), then writes each
# fault's transcript from its replay. The umockdev recordings come from the
# emulated Ky of the umockdev tests and are kept as they are.
#   scripts/make-recordings.sh [BUILD]    (BUILD: the build tree, "build")
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
kyfw="$build/src/cli/kyfw"
source tests/help_words.sh
# The recordings name the simulated Ky's device file under this directory.
work="$(mktemp -d /tmp/kyfw-recording.XXXXXX)"
trap 'rm -rf "$work"' EXIT
export KYFW_SIM_STATE="$work/sim" XDG_STATE_HOME="$work/xdg" KYFW_SIM_FAST=1 KYFW_SIM_COUNT=1

# record NAME ARGUMENTS...: one run of kyfw on a fresh simulated Ky.
record() {
    local name="$1"
    shift
    "$kyfw" --simulate --sim-reset --record "$work/$name.jsonl" "$@" >/dev/null 2>&1 || true
    gzip -9n <"$work/$name.jsonl" >"tests/recordings/$name.jsonl.gz"
}

record list list
record update update --yes --wait --json
for fault in $(kyfw_faults "$kyfw"); do
    wait=
    [[ "$fault" == restart-* ]] && wait=--wait
    record "fault-$fault" update --yes --json $wait "--sim-fault=$fault"
done
KY_WRITE_TRANSCRIPTS=1 ctest --test-dir "$build" -R EachFaultEndsAsItsTranscriptSays \
    --output-on-failure
git status --short tests/recordings
