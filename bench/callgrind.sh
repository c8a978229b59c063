#!/usr/bin/env bash
# Instruction counts of the benchmarks' figures and limits, from callgrind: on a shared, noisy
# machine they are steady where CPU times are not. Each benchmark dumps its measured pieces as
# "figure" and "limit" (bench/measure.hpp); this sums them, all threads included.
#
#   bench/callgrind.sh [--call]    # build/release; --call adds the ten-minute call (minutes)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KESTRO_BENCH_DIR:-$root/build/release}/bench
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# count <program> <benchmark> <unit>
count() {
  local dir="$out/$2"
  mkdir -p "$dir"
  valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$dir/cg.%p" \
    "$build/$1" --benchmark_filter="^$2(/|$)" --benchmark_min_time=0.001 >"$dir/log" 2>&1
  awk -v name="$2" -v unit="$3" '
    /^desc: Trigger: Client Request: / { piece = $NF }
    /^totals: / { if (piece != "") { sum[piece] += $2; n[piece]++ }; piece = "" }
    END {
      f = sum["figure"] / n["figure"]; l = sum["limit"] / n["limit"]
      printf "%-28s figure %12.0f  limit %12.0f  instructions per %s  ratio %.2f\n", name, f, l, unit, f / l
    }' "$dir"/cg.*
}

count bench_model_codec AudioDeltaDecode "64 KiB delta"
count bench_audio_converter MicrophoneBufferToFrame "microphone buffer"
count bench_conversation AudioDeltaToScheduledBuffer "64 KiB delta"
if [ "${1:-}" = "--call" ]; then
  count bench_conversation SimulatedTenMinuteCall "ten-minute call"
fi
