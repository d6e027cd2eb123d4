#!/usr/bin/env bash
# Sets up, builds the sanitizer test build and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build/test"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --output-on-failure -j"$(nproc)" --timeout 300
