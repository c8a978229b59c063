# Sourced by scripts/test.sh: starts the private services the test suite uses and exports where
# they are. Each one that cannot start is left out; the tests that need it skip with a reason.
# Everything started here is stopped by kestro_stop_services (set as an EXIT trap by test.sh).

KESTRO_SERVICES_DIR=$(mktemp -d /tmp/kestro-test-XXXXXX)
kestro_service_pids=()
kestro_saved_home=()
kestro_left_files=()
kestro_home_before=()

kestro_stop_services() {
  for pid in "${kestro_service_pids[@]:-}"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  done
  for pid in "${kestro_service_pids[@]:-}"; do
    [ -n "$pid" ] && wait "$pid" 2>/dev/null || true
  done
  kestro_service_pids=()
  # What the tests left in their temporary folder, for kestro_check_leftovers.
  if [ -d "$KESTRO_SERVICES_DIR/tmp" ]; then
    mapfile -t kestro_left_files < <(find "$KESTRO_SERVICES_DIR/tmp" -mindepth 1 -maxdepth 1 -printf '%f\n')
  fi
  rm -rf "$KESTRO_SERVICES_DIR"
  local saved
  for saved in "${kestro_saved_home[@]:-}"; do
    case "$saved" in
      "") ;;
      *=*) export "$saved" ;;
      *) unset "$saved" ;;
    esac
  done
  kestro_saved_home=()
}

kestro_wait_for() {  # <tries> <command...>
  local tries=$1; shift
  for _ in $(seq "$tries"); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# X server with XTest, for the hot-key and tray tests.
kestro_start_xvfb() {
  command -v Xvfb >/dev/null || { echo "test-services: no Xvfb"; return; }
  local display
  for display in $(seq 90 120); do
    [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ] || break
  done
  Xvfb ":${display}" -screen 0 1280x800x24 -nolisten tcp +extension XTEST >"$KESTRO_SERVICES_DIR/xvfb.log" 2>&1 &
  local pid=$!
  if kestro_wait_for 50 test -e "/tmp/.X11-unix/X${display}"; then
    kestro_service_pids+=("$pid")
    export DISPLAY=":${display}"
    echo "test-services: Xvfb on $DISPLAY"
  else
    kill "$pid" 2>/dev/null || true
    echo "test-services: Xvfb did not start"
  fi
}

# A private sound server: a null sink (with its monitor) and a 440 Hz sine source.
kestro_start_pulseaudio() {
  command -v pulseaudio >/dev/null || { echo "test-services: no pulseaudio"; return; }
  local dir="$KESTRO_SERVICES_DIR/pulse"
  mkdir -p "$dir/runtime" "$dir/state"
  cat >"$dir/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=kestro_null sink_properties=device.description=KestroNull
load-module module-sine-source source_name=kestro_sine rate=48000 frequency=440
set-default-sink kestro_null
set-default-source kestro_sine
PA
  XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/state" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit -F "$dir/default.pa" \
    >"$dir/pulse.log" 2>&1 &
  local pid=$!
  if kestro_wait_for 100 env PULSE_SERVER="unix:$dir/native" pactl info; then
    kestro_service_pids+=("$pid")
    export PULSE_SERVER="unix:$dir/native"
    export KESTRO_TEST_PULSE=1
    echo "test-services: PulseAudio at $PULSE_SERVER"
  else
    kill "$pid" 2>/dev/null || true
    echo "test-services: PulseAudio did not start (see nothing further; audio-pulse tests skip)"
  fi
}

# A private session bus, for the tray tests.
kestro_start_dbus() {
  command -v dbus-daemon >/dev/null || { echo "test-services: no dbus-daemon"; return; }
  local out
  if out=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null); then
    export DBUS_SESSION_BUS_ADDRESS=$(echo "$out" | sed -n 1p)
    kestro_service_pids+=("$(echo "$out" | sed -n 2p)")
    echo "test-services: session bus at $DBUS_SESSION_BUS_ADDRESS"
  else
    echo "test-services: dbus-daemon did not start"
  fi
}

# The tests' own home and XDG folders, so that what the libraries they load keep there (the
# sound server's cookie, Qt's runtime folder, caches) goes away with the services.
# A shell that builds after starting the services keeps its compiler cache.
kestro_private_home() {
  local dir="$KESTRO_SERVICES_DIR/home"
  if command -v ccache >/dev/null; then
    local conf=${XDG_CONFIG_HOME:-$HOME/.config}/ccache/ccache.conf
    if [ -z "${CCACHE_CONFIGPATH:-}" ] && [ -f "$conf" ]; then export CCACHE_CONFIGPATH=$conf; fi
    export CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  fi
  local name
  for name in HOME XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME XDG_STATE_HOME XDG_RUNTIME_DIR TMPDIR; do
    if [ -n "${!name+set}" ]; then kestro_saved_home+=("$name=${!name}"); else kestro_saved_home+=("$name"); fi
  done
  mkdir -p "$dir/config" "$dir/cache" "$dir/data" "$dir/state" "$dir/runtime" "$KESTRO_SERVICES_DIR/tmp"
  chmod 0700 "$dir/runtime"
  export HOME="$dir"
  export XDG_CONFIG_HOME="$dir/config" XDG_CACHE_HOME="$dir/cache" XDG_DATA_HOME="$dir/data"
  export XDG_STATE_HOME="$dir/state" XDG_RUNTIME_DIR="$dir/runtime" TMPDIR="$KESTRO_SERVICES_DIR/tmp"
}

# What the tests must not leave behind, checked by kestro_check_leftovers once the services are
# stopped: a file in their temporary folder (a test certificate, a test's folder), a process of the
# run (every one started after kestro_start_services inherits KESTRO_TEST_RUN, a sound server's
# autolaunched bus included), and what the libraries they load would keep in the real home (the
# sound server's cookie, Qt's runtime folder, the app's own files). Those that were there before
# the run are not counted.
kestro_home_leftovers() {
  local home=${HOME:-} config=${XDG_CONFIG_HOME:-${HOME:-}/.config} user
  user=$(id -un)
  printf '%s\n' "$config/pulse/cookie" "${TMPDIR:-/tmp}/runtime-$user" "/tmp/runtime-$user" \
    "$config/kestro" "$config/autostart/kestro.desktop" "${XDG_STATE_HOME:-$home/.local/state}/kestro" \
    "${XDG_DATA_HOME:-$home/.local/share}/applications/kestro.desktop" \
    "${XDG_RUNTIME_DIR:-/nonexistent}/kestro.lock" | sort -u
}

kestro_existing_home_leftovers() {
  local path
  while IFS= read -r path; do
    if [ -e "$path" ]; then echo "$path"; fi
  done < <(kestro_home_leftovers)
}

# The processes whose environment holds <marker> ("NAME=value"), as "pid: command line".
kestro_marked_processes() {
  local proc entry command
  for proc in /proc/[0-9]*; do
    [ "${proc#/proc/}" = "$$" ] && continue
    while IFS= read -r -d '' entry; do
      if [ "$entry" = "$1" ]; then
        command=$(tr '\0' ' ' 2>/dev/null <"$proc/cmdline")
        echo "${proc#/proc/}: ${command% }"
        break
      fi
    done 2>/dev/null <"$proc/environ"
  done
}

# Notes what is there before the run, marks the processes it starts and gives the tests their own
# home and temporary folder (kestro_start_services does this first).
kestro_begin_run() {
  mapfile -t kestro_home_before < <(kestro_existing_home_leftovers)
  export KESTRO_TEST_RUN="$KESTRO_SERVICES_DIR"
  kestro_private_home
}

# Lists what the run left behind and fails if anything was; processes left are then killed.
kestro_check_leftovers() {
  local found=()
  local file
  for file in "${kestro_left_files[@]:-}"; do
    [ -n "$file" ] && found+=("file in the tests' temporary folder: $file")
  done
  kestro_left_files=()

  local marker=${KESTRO_TEST_RUN:+KESTRO_TEST_RUN=$KESTRO_TEST_RUN}
  unset KESTRO_TEST_RUN
  if [ -n "$marker" ]; then
    # A daemon the services stopped may take a moment to go.
    local left=() line
    for _ in $(seq 30); do
      mapfile -t left < <(kestro_marked_processes "$marker")
      [ ${#left[@]} -eq 0 ] && break
      sleep 0.1
    done
    for line in "${left[@]}"; do
      found+=("process: $line")
      kill -KILL "${line%%:*}" 2>/dev/null || true
    done
  fi

  local path
  while IFS= read -r path; do
    if printf '%s\n' "${kestro_home_before[@]:-}" | grep -qxF -- "$path"; then continue; fi
    found+=("outside the tests' home: $path")
  done < <(kestro_existing_home_leftovers)

  if [ ${#found[@]} -gt 0 ]; then
    echo "test-services: the tests left behind:"
    printf '  %s\n' "${found[@]}"
    return 1
  fi
  echo "test-services: nothing left behind"
}

# The session bus comes before the sound server: a daemon started without one autolaunches a bus
# of its own that outlives the tests.
kestro_start_services() {
  kestro_begin_run
  kestro_start_xvfb
  kestro_start_dbus
  kestro_start_pulseaudio
}
