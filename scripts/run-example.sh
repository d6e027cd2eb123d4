#!/usr/bin/env bash
# Sets up, builds the release programs (vornconv and vornvst3catalog) and dumps the bundled
# example scene; arguments, when given, are passed on to vornconv instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target vornconv vornvst3catalog
if [ $# -eq 0 ]; then
  set -- "$root/examples/stage-left.ksn"
fi
"$build/bin/vornconv" "$@"
