#!/usr/bin/env bash
# Runs every command the README shows that needs no host-saved file and no plug-in probe, in the
# README's own words, on the bundled example and on files the project makes itself. Outputs go to
# /tmp/vorn-examples (or the folder given), which is emptied first: a convert never replaces a file.
#
# usage: scripts/run-examples.sh [output folder]
# VORNCONV and VORNVST3CATALOG may name the programs to run; otherwise the release build is made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-/tmp/vorn-examples}
if [ -z "${VORNCONV:-}" ] || [ -z "${VORNVST3CATALOG:-}" ]; then
  "$root/scripts/setup.sh"
  cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build/release" -j"$(nproc)" --target vornconv vornvst3catalog >/dev/null
fi
vornconv=${VORNCONV:-$root/build/release/bin/vornconv}
catalog=${VORNVST3CATALOG:-$root/build/release/bin/vornvst3catalog}
rm -rf "$out"
mkdir -p "$out"
cd "$root"

# Runs one README command: the programs and the output folder are put in, the rest is as written.
run() {
  local command=$1 status=0
  command=${command//build\/release\/bin\/vornconv/$vornconv}
  command=${command//build\/release\/bin\/vornvst3catalog/$catalog}
  command=${command//\/tmp\/vorn-examples/$out}
  echo "\$ $1"
  eval "$command" || status=$?
  if [ "${2:-0}" != any ] && [ "$status" -ne "${2:-0}" ]; then
    echo "run-examples: exit status $status, expected ${2:-0}: $1" >&2
    exit 1
  fi
}

# Reading the bundled scene.
run "build/release/bin/vornconv examples/stage-left.ksn"
run "build/release/bin/vornconv --manifest examples/stage-left.ksn"
run "build/release/bin/vornconv --export-states /tmp/vorn-examples/states examples/stage-left.ksn"
run "build/release/bin/vornconv --session-report examples/stage-left.ksn"

# Plans and conversions.
run "build/release/bin/vornconv --plan vorn --factory-catalog examples/stage-left-catalog.tsv examples/stage-left.ksn"
run "build/release/bin/vornconv --convert vorn --factory-catalog examples/stage-left-catalog.tsv --output /tmp/vorn-examples/new.ksn examples/stage-left.ksn"
run "build/release/bin/vornconv --plan reaper --profile 16x8 --factory-catalog examples/stage-left-catalog.tsv --reaper-cache examples/stage-left-reaper.ini examples/stage-left.ksn" 1
run "build/release/bin/vornconv --plan reaper --profile 16x8 --io 16x16 --factory-catalog examples/stage-left-catalog.tsv --reaper-cache examples/stage-left-reaper.ini examples/stage-left.ksn"
run "build/release/bin/vornconv --convert reaper --profile 16x8 --io 16x16 --factory-catalog examples/stage-left-catalog.tsv --reaper-cache examples/stage-left-reaper.ini --output /tmp/vorn-examples/stage-left.rpp examples/stage-left.ksn"
run "build/release/bin/vornconv /tmp/vorn-examples/stage-left.rpp"
run "build/release/bin/vornconv --manifest /tmp/vorn-examples/stage-left.rpp"
run "build/release/bin/vornconv --export-states /tmp/vorn-examples/rpp-states /tmp/vorn-examples/stage-left.rpp"

# A selection: proposed, handed back to the plan.
run "build/release/bin/vornconv --selection-report reaper --profile 16x8 examples/stage-left.ksn > /tmp/vorn-examples/selection.json"
run "build/release/bin/vornconv --plan reaper --profile 16x8 --io 16x16 --factory-catalog examples/stage-left-catalog.tsv --reaper-cache examples/stage-left-reaper.ini --selection /tmp/vorn-examples/selection.json examples/stage-left.ksn"

# A LiveProfessor project made by the benchmark's generator, and its value tree.
run "python3 bench/make-rack2.py /tmp/vorn-examples/project.rack2 --strips 2 --slots 1"
run "build/release/bin/vornconv --tree /tmp/vorn-examples/project.rack2"
run "build/release/bin/vornconv /tmp/vorn-examples/project.rack2"

# The catalog tool: its usage, and a scan of the machine's own folders (which fails when nothing
# is installed there).
run "build/release/bin/vornvst3catalog --help"
run "build/release/bin/vornvst3catalog --all > /tmp/vorn-examples/catalog.tsv" any
