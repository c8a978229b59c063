#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, `fuzz` preset) and runs each for the given number of
# seconds (default 60), starting from the examples in tests/data. What a run learns is kept in
# build/fuzz/corpus/<target>, so later runs go on from there; an input that makes a target fail is
# written to build/fuzz/artifacts/ and the script fails. Extra arguments go to every target
# (e.g. `-jobs=4 -workers=4`).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=${1:-60}
shift || true

# <target> <seed folder>
targets=(
  "fuzz_server_event tests/data/model/server_events"
  "fuzz_user_defaults tests/data/defaults"
)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${KESTRO_JOBS:-$(nproc)}"

mkdir -p build/fuzz/artifacts
status=0
for entry in "${targets[@]}"; do
  read -r target seeds <<<"$entry"
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "fuzz: $target for ${seconds}s"
  if ! "build/fuzz/fuzz/$target" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=10 \
      -artifact_prefix="build/fuzz/artifacts/$target-" -print_final_stats=1 "$@" \
      >"build/fuzz/$target.log" 2>&1; then
    echo "fuzz: $target failed (build/fuzz/$target.log):"
    tail -n 60 "build/fuzz/$target.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$target.log" || true
  fi
done
exit $status
