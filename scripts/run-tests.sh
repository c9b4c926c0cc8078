#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the AddressSanitizer and
# UndefinedBehaviorSanitizer build. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${KY_JOBS:-2}"

run_suite() {
    local dir="$1"; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

echo "== normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKY_SANITIZE=ON
