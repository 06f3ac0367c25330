#!/usr/bin/env bash
# Starts the tool on a sample firmware file with a simulated device (see
# usage below); ./run builds first and then comes here. Without a desktop
# it runs the demo in the terminal instead: cvf-flash updates the
# simulated device, then cvf-screens makes pictures of the window.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

usage() {
  cat <<'USAGE'
Usage: ./run [--port NAME] [--device PATH | --no-sim]

Installs what is missing, builds the programs, writes a sample firmware
file to build/demo/sample.CVF and starts the simulated device cvf-devsim
as COM3 (it fits the sample, reports an older version than the sample's,
and answers at the pace of a real 57600-baud line).

On a desktop it then starts build/app/cvf-update in build/demo, where its
file dialog opens on the sample. When the window closes, or on Ctrl-C,
the simulated device stops and its port link goes; a transfer that runs
is first wound down by the tool (it finishes the line and restarts the
device), which may take half a minute.

Without a desktop (DISPLAY and WAYLAND_DISPLAY unset) it runs the demo in
the terminal: cvf-flash -y updates the simulated device with the sample
(progress, result, the device's restart), then cvf-screens drives the
window offscreen through a whole update and saves a picture of every
step in build/demo/screens/; about a minute in all. Ctrl-C ends it, the
update wound down first.

  --port NAME     the port name to publish instead of COM3
  --device PATH   use a real serial device instead of the simulated one:
                  publish PATH (e.g. /dev/ttyUSB0) as NAME in the port
                  directory while the tool runs, and remove the link after
                  (needs a desktop)
  --no-sim        start the tool alone, with the ports there are (needs a
                  desktop)
  -h, --help      this text

The simulated device logs its frames in build/demo/devsim.log.
USAGE
}

port=COM3
device=
sim=1
while [ $# -gt 0 ]; do
  case $1 in
    --port) [ $# -ge 2 ] || { echo "--port needs a name" >&2; exit 2; }; port=$2; shift 2 ;;
    --device) [ $# -ge 2 ] || { echo "--device needs a path" >&2; exit 2; }; device=$2; sim=0; shift 2 ;;
    --no-sim) sim=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1 (see ./run --help)" >&2; exit 2 ;;
  esac
done
case $port in
  ''|.*|*/*) echo "--port: '$port' cannot be a port name" >&2; exit 2 ;;
esac

# The build tree and the demo's folder; tests point them elsewhere.
build=${CVF_BUILD_DIR:-build}
demo=${CVF_DEMO_DIR:-$build/demo}
headless=
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || headless=1
if [ -n "$headless" ] && [ $sim = 0 ]; then
  echo "No desktop here (DISPLAY and WAYLAND_DISPLAY are unset): --device and --no-sim need the window." >&2
  echo "For a real device without a desktop use cvf-flash: $build/app/flash/cvf-flash -p PORT FILE (man cvf-flash)" >&2
  exit 2
fi

mkdir -p "$demo"
"$build/tools/cvf-make/cvf-make" -o "$demo/sample.CVF"

devsim=$build/tools/cvf-devsim/cvf-devsim
app_pid=
pub_pid=
flash_pid=
screens_pid=

# alive PID, stop PID SIGNAL SECONDS
. "$top/scripts/processes.sh"

# Whatever ends this script ends what it started, each by its process id:
# the tool (or, without a desktop, cvf-flash and cvf-screens), then the
# port's publisher (the simulated device or cvf-devsim --publish), which
# removes the port's link. A transfer that is running is wound down by the
# program itself: it finishes the current line and restarts the device (up
# to about 35 s), so it gets 60 s before it is killed. The publisher runs
# in a session of its own, so that Ctrl-C and the terminal's hang-up reach
# only this script and the programs in front, and the device is there
# until they have ended. Neither a second signal nor a terminal that is
# gone cuts this short.
cleanup() {
  trap '' INT TERM HUP PIPE
  set +e
  if [ -n "$app_pid" ] && alive "$app_pid"; then
    echo "Waiting for cvf-update to end (a transfer that runs is wound down first)..." 2>/dev/null
    stop "$app_pid" TERM 60
  fi
  app_pid=
  if [ -n "$flash_pid" ] && alive "$flash_pid"; then
    echo "Waiting for cvf-flash to end (a transfer that runs is wound down first)..." 2>/dev/null
    stop "$flash_pid" TERM 60
  fi
  flash_pid=
  if [ -n "$screens_pid" ] && alive "$screens_pid"; then
    echo "Waiting for cvf-screens to end..." 2>/dev/null
    stop "$screens_pid" TERM 60
  fi
  screens_pid=
  stop_publisher
}
# Ends the publisher and shows what the simulated device said at its end.
stop_publisher() {
  if [ -n "$pub_pid" ]; then
    stop "$pub_pid" TERM 5
    pub_pid=
    [ ! -s "$demo/devsim.err" ] || sed 's/^/  /' "$demo/devsim.err" 2>/dev/null
  fi
}
# The terminal is gone: nothing more to say to it.
on_hangup() {
  exec >/dev/null 2>&1
  cleanup
  exit 129
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
trap on_hangup HUP

if [ -n "$headless" ]; then
  echo "No desktop here (DISPLAY and WAYLAND_DISPLAY are unset), so the demo runs in this terminal;"
  echo "on a desktop ./run opens the window (cvf-update) instead."
fi
echo "Sample firmware file: $demo/sample.CVF (version V2.4.1, 2026-11)"

# Starts cvf-devsim with the arguments given, in a session of its own,
# and waits for its "ready NAME PATH" line; sets pub_pid and pub_path.
start_publisher() {
  : >"$demo/devsim.out"
  setsid "$devsim" "$@" <"/dev/null" >"$demo/devsim.out" 2>"$demo/devsim.err" &
  pub_pid=$!
  local _
  for _ in $(seq 100); do
    grep -q '^ready ' "$demo/devsim.out" && break
    if ! alive "$pub_pid"; then
      wait "$pub_pid" || true
      pub_pid=
      cat "$demo/devsim.err" >&2
      return 1
    fi
    sleep 0.1
  done
  pub_path=
  read -r _ _ pub_path < <(grep '^ready ' "$demo/devsim.out") || true
  if [ -z "$pub_path" ]; then
    echo "cvf-devsim did not report ready within 10 s" >&2
    return 1
  fi
}

if [ -n "$device" ]; then
  if ! start_publisher --name "$port" --publish "$device"; then
    echo "$device could not be published as $port (when the name is taken: --port NAME)" >&2
    exit 1
  fi
  echo "Real device: $device published as $port"
  if [ ! -r "$device" ] || [ ! -w "$device" ]; then
    echo "  you may not open $device: add yourself to its group and log in again:" \
         "sudo adduser \"\$USER\" $(stat -L -c %G "$device")" >&2
  fi
elif [ $sim = 1 ]; then
  if ! start_publisher --name "$port" --version "V2.3.9  2025-06 " --line-time 10 \
         --log "$demo/devsim.log"; then
    echo "The simulated device did not start" >&2
    exit 1
  fi
  echo "Simulated device: $port on $pub_path, version V2.3.9 2025-06; frames in $demo/devsim.log"
fi

if [ -n "$headless" ]; then
  flash=$build/app/flash/cvf-flash
  echo
  echo "== cvf-flash updates the simulated device: $flash -y -p $port $demo/sample.CVF"
  "$flash" -y -p "$port" "$demo/sample.CVF" &
  flash_pid=$!
  status=0
  wait "$flash_pid" || status=$?
  flash_pid=
  # Ended by the signal that reached this script too (Ctrl-C reaches every
  # program in front); cleanup does the rest.
  [ $status -le 128 ] || exit $status
  stop_publisher
  if [ $status = 0 ]; then
    echo "cvf-flash: done (exit status 0)."
    ! grep -q -- '-- restart' "$demo/devsim.log" ||
      echo "The simulated device was told to restart (RST|) and did; its frames are in $demo/devsim.log."
  else
    echo "cvf-flash ended with exit status $status (man cvf-flash, EXIT STATUS)." >&2
    exit $status
  fi

  echo
  echo "== Pictures of every step of the window, made offscreen by cvf-screens (about 20 s):"
  rm -rf "$demo/screens"
  "$build/tools/cvf-screens/cvf-screens" "$demo/screens" user 2>"$demo/screens.log" &
  screens_pid=$!
  status=0
  wait "$screens_pid" || status=$?
  screens_pid=
  [ $status -le 128 ] || exit $status
  if [ $status != 0 ]; then
    echo "cvf-screens failed (exit status $status); its messages:" >&2
    sed 's/^/  /' "$demo/screens.log" >&2
    exit 1
  fi
  echo
  echo "Done. On a desktop ./run opens the window and the update is yours to click through."
  exit 0
fi

app=$(realpath -m -- "$build/app/cvf-update")
echo "Starting $build/app/cvf-update in $demo; close its window to end."
(cd "$demo" && exec "$app") &
app_pid=$!
status=0
wait "$app_pid" || status=$?
app_pid=
exit $status
