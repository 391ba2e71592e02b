#!/usr/bin/env bash
# Sets up, builds and runs every test: a plain build, a ThreadSanitizer build of the
# threaded tests, and a clang AddressSanitizer + UndefinedBehaviorSanitizer build
# (which also runs the fuzz targets for a few seconds each).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

jobs=$(nproc)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
# ThreadSanitizer needs a fixed memory layout on recent kernels.
tsan_run() { setarch "$(uname -m)" -R "$@"; }

echo "== plain build"
bash scripts/build.sh build/plain -DCMAKE_BUILD_TYPE=Check
ctest --test-dir build/plain --output-on-failure -j "$jobs"

echo "== ThreadSanitizer build (threaded tests)"
bash scripts/build.sh build/tsan -DCMAKE_BUILD_TYPE=Check -DTANDRIL_SANITIZE=thread \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 tsan_run \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L threaded --no-tests=ignore

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Check -DTANDRIL_SANITIZE=address,undefined \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
ctest --test-dir build/asan --output-on-failure -j "$jobs"
