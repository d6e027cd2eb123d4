#!/usr/bin/env bash
# Configures and builds the sanitizer test build in build/test: clang-14 with AddressSanitizer and
# UndefinedBehaviorSanitizer, the libFuzzer targets under fuzz/, and the test hooks that the
# programs take from their environment (see src/model/TestHooks.h). Builds the given targets, or
# everything when none is given. Used by scripts/test.sh and scripts/fuzz.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/test"
# A build folder configured with another compiler cannot be switched in place.
if [ -f "$build/CMakeCache.txt" ] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++-14$' "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_FUZZ=ON -DVORN_TEST_HOOKS=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
if [ $# -eq 0 ]; then
  cmake --build "$build" -j"${VORN_BUILD_JOBS:-$(nproc)}"
else
  cmake --build "$build" -j"${VORN_BUILD_JOBS:-$(nproc)}" --target "$@"
fi
