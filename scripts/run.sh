#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and starts the tray application.
# Arguments are passed on to kestro (e.g. `scripts/run.sh --set-credential`).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kestro

app=build/release/src/kestro
if [ ! -x "$app" ]; then
  echo "run.sh: the tray application is not built yet" >&2
  exit 1
fi
exec "$app" "$@"
