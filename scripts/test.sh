#!/usr/bin/env bash
# Sets up, builds the sanitizer test build and runs the whole test suite, the replay of every
# fuzz target over its seeds and saved regression inputs included.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/test-build.sh"
cd "$root/build/test"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --output-on-failure -j"$(nproc)" --timeout 300
