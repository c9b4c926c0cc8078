#!/usr/bin/env bash
# Builds and runs every test: the normal build and each benchmark once in its
# short mode, then the AddressSanitizer and UndefinedBehaviorSanitizer build.
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${KY_JOBS:-2}"

# The suites run with more jobs than cores, in random order, beside a
# process named like a video application: a test that is not hermetic
# fails here rather than on a developer's desktop.
tests_jobs="${KY_TEST_JOBS:-$((2 * $(nproc)))}"
neighbour="$(mktemp -d)"
cp /bin/sleep "$neighbour/kdenlive"
"$neighbour/kdenlive" infinity &
neighbour_pid=$!
trap 'kill "$neighbour_pid" 2>/dev/null; rm -rf "$neighbour"' EXIT

run_suite() {
    local dir="$1"; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$tests_jobs" --schedule-random --output-on-failure
}

# Tests against code, counted alike (non-blank, non-comment lines of C++):
# the aim is about a third.
lines() { git ls-files -- "$@" | grep -E '\.(cpp|h)$' | xargs -r cat | grep -c -v -E '^\s*(//.*)?$'; }
code=$(lines src firmware) tests=$(lines tests)
echo "== tests are $tests lines against $code of code: ratio $(awk "BEGIN{printf \"%.2f\", $tests/$code}")"

echo "== normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Each benchmark once, in its short mode, one after another and after the
# suite (their busy loops would disturb tests run beside them). Their
# figures are shown, not judged; each must end well within its deadline.
bench_seconds="${KY_BENCH_SECONDS:-120}"
bench() {
    local status=0
    echo "-- $*"
    timeout --kill-after=10 "$bench_seconds" "$@" || status=$?
    case "$status" in
        0) ;;
        124 | 137) echo "benchmark did not end within $bench_seconds s: $*" >&2; exit 1 ;;
        *) echo "benchmark failed with exit status $status: $*" >&2; exit 1 ;;
    esac
}
echo "== benchmarks, each once in its short mode (figures shown, not judged)"
bench build/bench/download_bench --short
bench build/bench/tools_bench --short build/tests/programs/kyfw build/tests/programs/ky-firmware-update
bench build/bench/batch_bench --short build/tests/programs/kyfw
bench umockdev-wrapper build/bench/tick_bench --short
bench build/bench/window_bench --short
echo "== Debian package: built, checked by lintian and the desktop validators, unpacked and run"
rm -rf build/package
(cd build && cpack -G DEB -B package >/dev/null)
deb="$(ls build/package/*.deb)"
ls -l "$deb"
lintian --fail-on error,warning --tag-display-limit 0 "$deb"
desktop-file-validate build/po/ky-firmware-update.desktop
appstreamcli validate --no-net build/po/io.github.kyfirmwareupdate.metainfo.xml
tests/install_test.sh build "$deb"
echo "== RPM: built, checked by rpmlint (packaging/rpmlint.toml says what it is told), unpacked and run"
(cd build && cpack -G RPM -B package >/dev/null)
rpm="$(ls build/package/*.rpm)"
ls -l "$rpm"
rpmlint --strict -c packaging/rpmlint.toml "$rpm"
# It needs udev, and reloads its rules on installation as the .deb does.
rpm -qp --requires "$rpm" | grep -qx systemd-udev || { echo "the RPM does not require systemd-udev"; exit 1; }
[ "$(rpm -qp --scripts "$rpm" | grep -c 'udevadm control --reload-rules')" -eq 2 ] ||
    { echo "the RPM's %post and %postun do not both reload udev's rules"; exit 1; }
tests/install_test.sh build "$rpm"
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKY_SANITIZE=ON

echo "== ThreadSanitizer build: threads, monitor, the update worker and Kys written side by side"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKY_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target thread_tests worker_tests app_tests
ctest --test-dir build-tsan -j "$tests_jobs" --schedule-random --output-on-failure \
    -R '^(Thread|Monitor|WorkerTest|BatchTest)\.'

echo "== fuzzing the image validators, the state file, --device and recordings (bounded)"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKY_FUZZ=ON -DKY_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target image_fuzz state_fuzz device_fuzz recording_fuzz
fuzz() {
    local target="$1" seconds="$2"; shift 2
    local corpus="build-fuzz/corpus-$target"
    mkdir -p "$corpus"
    [ "$#" -gt 0 ] && cp "$@" "$corpus/"
    echo "-- $target"
    "build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=400000 -print_final_stats=1 \
        "$corpus" 2>&1 | tail -n 6
}
fuzz image_fuzz "${KY_FUZZ_SECONDS:-60}" build-fuzz/firmware/KyXilinx.bit build-fuzz/firmware/Ky_MCORE.s19
printf 'mcore=1\nxilinx=5\nproduct=3\nserial=KY041187\nxilinx-flash=2\nmcore-flash=1\n\nabc' \
    > build-fuzz/state.seed
fuzz state_fuzz "${KY_FUZZ_SECONDS_SMALL:-20}" build-fuzz/state.seed
printf '0x0000d0a004120187' > build-fuzz/device.seed
fuzz device_fuzz "${KY_FUZZ_SECONDS_SMALL:-20}" build-fuzz/device.seed
gzip -dc tests/recordings/list.jsonl.gz > build-fuzz/recording.seed
fuzz recording_fuzz "${KY_FUZZ_SECONDS_SMALL:-20}" build-fuzz/recording.seed
