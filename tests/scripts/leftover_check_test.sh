#!/usr/bin/env bash
# kestro_check_leftovers (scripts/test-services.sh) after a run without services: a clean run
# passes; a run that leaves a file in the tests' temporary folder, a process or the sound server's
# cookie in the real home fails and names each, and its process is gone afterwards; what was there
# before the run is not named.
set -uo pipefail
services=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kestro-leftover-check-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# run <name> <what the run does...>: the check's status, then its output, in $work/<name>.out.
run() {
  local name=$1; shift
  (
    export HOME="$work/$name-home"
    unset XDG_CONFIG_HOME XDG_STATE_HOME XDG_RUNTIME_DIR
    mkdir -p "$HOME/.config/autostart"
    echo "[Desktop Entry]" >"$HOME/.config/autostart/kestro.desktop"  # there before the run
    source "$services"
    kestro_begin_run
    "$@"
    kestro_stop_services
    kestro_check_leftovers
  ) >"$work/$name.out" 2>&1
}

clean() { :; }
run clean clean || fail "a clean run: $(cat "$work/clean.out")"
grep -q "nothing left behind" "$work/clean.out" || fail "a clean run says so: $(cat "$work/clean.out")"

leaky() {
  touch "$TMPDIR/kestro-test-cert-left"
  mkdir "$TMPDIR/kestro-test-folder-left"
  setsid sleep 300 </dev/null >/dev/null 2>&1 &
  echo $! >"$work/sleeper"
  mkdir -p "$work/leaky-home/.config/pulse"
  touch "$work/leaky-home/.config/pulse/cookie"  # the real home, not the tests' own
}
if run leaky leaky; then fail "a run that left things behind passed"; fi
out=$(cat "$work/leaky.out")
sleeper=$(cat "$work/sleeper")
for expected in "file in the tests' temporary folder: kestro-test-cert-left" \
                "file in the tests' temporary folder: kestro-test-folder-left" \
                "process: $sleeper: sleep 300" \
                "outside the tests' home: $work/leaky-home/.config/pulse/cookie"; do
  grep -qxF "  $expected" <<<"$out" || fail "\"$expected\" is not listed in: $out"
done
if grep -q "autostart" <<<"$out"; then fail "what was there before is listed: $out"; fi
for _ in $(seq 50); do kill -0 "$sleeper" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$sleeper" 2>/dev/null; then
  fail "the process left behind still runs"
  kill -KILL "$sleeper"
fi

[ "$failures" -eq 0 ] && echo "passed"
exit $((failures > 0))
