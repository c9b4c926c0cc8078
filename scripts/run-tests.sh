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
echo "== Debian package"
(cd build && cpack -G DEB -B package >/dev/null && ls package/*.deb)
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKY_SANITIZE=ON

echo "== ThreadSanitizer build: threads, monitor and the update worker"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKY_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target thread_tests worker_tests
ctest --test-dir build-tsan -j "$jobs" --output-on-failure -R '^(Thread|Monitor|WorkerTest)\.'

echo "== fuzzing the image validators (bounded)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKY_FUZZ=ON -DKY_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target image_fuzz
corpus="build-fuzz/corpus"
mkdir -p "$corpus"
cp build-fuzz/firmware/KyXilinx.bit build-fuzz/firmware/Ky_MCORE.s19 "$corpus/"
build-fuzz/fuzz/image_fuzz -max_total_time="${KY_FUZZ_SECONDS:-60}" -max_len=400000 \
    -print_final_stats=1 "$corpus" 2>&1 | tail -n 15
