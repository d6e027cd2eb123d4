#!/usr/bin/env bash
# The fuzz targets under fuzz/, one per reader and codec of untrusted input.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [-k] [NAME...]
#       Builds the targets (build/test, the sanitizer test build) and runs each named target (all
#       by default) for SECONDS (default 120), JOBS at a time (default 4). Each run starts from
#       fuzz/seeds/NAME and the corpus it grew before (build/test/fuzz/corpus/NAME) and stops at its
#       first crash, hang (-timeout), leak or memory blow-up (-rss_limit_mb); the input that did it
#       is copied to fuzz/regressions/NAME/ to be committed with the fix. With -k a run goes on
#       past what it finds (libFuzzer's fork mode) and every input it saved is copied; the same
#       fault may then come more than once. Logs: build/test/fuzz/logs.
#   scripts/fuzz.sh --replay NAME BINARY
#       Runs BINARY once over every input in fuzz/seeds/NAME and fuzz/regressions/NAME, except
#       those fuzz/regressions/PENDING lists (faults found and not fixed yet); the test suite runs
#       this for every target.
#   scripts/fuzz.sh --seeds
#       Writes fuzz/seeds afresh from the seed maker (fuzz/seedmaker).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fuzz="$root/fuzz"
build="$root/build/test"
limits=(-timeout=5 -rss_limit_mb=2048)

pending_list() {
  # "NAME/FILE" per line; text after a "#" and blank lines are ignored.
  [ -f "$fuzz/regressions/PENDING" ] && sed -e 's/#.*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$fuzz/regressions/PENDING"
  return 0
}

replay() {
  local name=$1 binary=$2 pending inputs=() file
  pending=$(pending_list)
  for file in "$fuzz/seeds/$name"/* "$fuzz/regressions/$name"/*; do
    [ -f "$file" ] || continue
    if grep -qxF "$name/$(basename "$file")" <<<"$pending" && [[ $file == "$fuzz/regressions/"* ]]; then
      echo "skipped, fault not fixed yet: ${file#"$root"/}"
      continue
    fi
    inputs+=("$file")
  done
  if [ ${#inputs[@]} -eq 0 ]; then
    echo "no inputs for $name in fuzz/seeds/$name" >&2
    exit 1
  fi
  exec "$binary" "${limits[@]}" "${inputs[@]}"
}

targets() {
  local source
  for source in "$fuzz"/*.cpp; do
    basename "$source" .cpp
  done
}

make_seeds() {
  "$root/scripts/setup.sh"
  "$root/scripts/test-build.sh" fuzz_make_seeds
  local fresh="$build/fuzz/seeds.new"
  rm -rf "$fresh"
  (cd "$build" && ASAN_OPTIONS=detect_leaks=0 "$build/fuzz/fuzz_make_seeds" "$root" "$fresh")
  rm -rf "$fuzz/seeds"
  mv "$fresh" "$fuzz/seeds"
  du -sh "$fuzz/seeds"
}

# One campaign run; prints one summary line.
run_one() {
  local name=$1 seconds=$2
  local corpus="$build/fuzz/corpus/$name" artifacts="$build/fuzz/artifacts/$name" log="$build/fuzz/logs/$name.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  rm -f "$artifacts"/*
  local status=0
  "$build/fuzz/fuzz_$name" "$corpus" "$fuzz/seeds/$name" "${limits[@]}" "${keep_going[@]}" -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
  local execs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$execs" ] || execs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
  local found=()
  local artifact
  for artifact in "$artifacts"/*; do
    [ -f "$artifact" ] || continue
    mkdir -p "$fuzz/regressions/$name"
    cp "$artifact" "$fuzz/regressions/$name/"
    found+=("fuzz/regressions/$name/$(basename "$artifact")")
  done
  if [ $status -eq 0 ] && [ ${#found[@]} -eq 0 ]; then
    printf '%-24s %12s execs  clean\n' "$name" "${execs:-?}"
  else
    printf '%-24s %12s execs  FOUND (exit %d) %s  log: %s\n' "$name" "${execs:-?}" "$status" "${found[*]:-no input saved}" "${log#"$root"/}"
  fi
}

if [ "${1:-}" = "--replay" ]; then
  [ $# -eq 3 ] || { echo "usage: $0 --replay NAME BINARY" >&2; exit 2; }
  replay "$2" "$3"
fi
if [ "${1:-}" = "--seeds" ]; then
  make_seeds
  exit 0
fi

seconds=120
jobs=4
keep_going=()
while getopts "t:j:k" option; do
  case $option in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    k) keep_going=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1) ;;
    *) echo "usage: $0 [-t SECONDS] [-j JOBS] [-k] [NAME...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
names=("$@")
[ ${#names[@]} -gt 0 ] || mapfile -t names < <(targets)
for name in "${names[@]}"; do
  [ -f "$fuzz/$name.cpp" ] || { echo "no fuzz target $name (fuzz/$name.cpp)" >&2; exit 2; }
done

"$root/scripts/setup.sh"
"$root/scripts/test-build.sh" "${names[@]/#/fuzz_}"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
echo "fuzzing ${#names[@]} targets for ${seconds}s each, $jobs at a time"
running=0
for name in "${names[@]}"; do
  if [ $running -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_one "$name" "$seconds" &
  running=$((running + 1))
done
wait
