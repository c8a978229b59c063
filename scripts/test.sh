#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite. Extra arguments go to ctest,
# e.g. `scripts/test.sh -L model`. KESTRO_PRESET picks another preset (asan, tsan); KESTRO_JOBS
# bounds the parallel compiles and tests (default: one per core). The run fails when the tests left
# anything behind (see kestro_check_leftovers in scripts/test-services.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

preset=${KESTRO_PRESET:-default}
jobs=${KESTRO_JOBS:-$(nproc)}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs"

source scripts/test-services.sh
trap kestro_stop_services EXIT
kestro_start_services

status=0
ctest --preset "$preset" -j "$jobs" "$@" || status=$?
trap - EXIT
kestro_stop_services
# A run that left something behind fails, even when every test passed.
if ! kestro_check_leftovers && [ "$status" -eq 0 ]; then status=1; fi
exit "$status"
