#!/usr/bin/env bash
# Sets up, builds the release program and dumps the bundled example scene.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target vornconv
if [ $# -eq 0 ]; then
  set -- "$root/examples/stage-left.ksn"
fi
"$build/bin/vornconv" "$@"
