#!/usr/bin/env bash
# Starts the tool on a sample firmware file with a simulated device (see
# usage below); ./run builds first and then comes here. Before cvf-update
# is built it shows the sample, what it holds and the widget pictures.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

no_display="No desktop here (DISPLAY and WAYLAND_DISPLAY are unset): run it as  xvfb-run -a ./run"

usage() {
  cat <<'EOF'
Usage: ./run [--port NAME] [--device PATH | --no-sim]

Installs what is missing, builds, writes a sample firmware file to
build/demo/sample.CVF, starts the simulated device cvf-devsim as COM3 (it
fits the sample and reports an older version than the sample's, and answers
at the pace of a real 57600-baud line) and starts build/app/cvf-update in
build/demo, where its file dialog opens on the sample. When the window
closes, or on Ctrl-C, the simulated device stops and its port link goes.

  --port NAME     the port name to publish instead of COM3
  --device PATH   use a real serial device instead of the simulated one:
                  publish PATH (e.g. /dev/ttyUSB0) as NAME in the port
                  directory while the tool runs, and remove the link after
  --no-sim        start the tool alone, with the ports there are
  -h, --help      this text

The simulated device logs its frames in build/demo/devsim.log.
Needs a desktop (DISPLAY or WAYLAND_DISPLAY); without one: xvfb-run -a ./run
EOF
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
if [ -n "$device" ] && [ ! -c "$device" ]; then
  echo "--device: $device is not a character device" >&2
  exit 2
fi

demo=build/demo
mkdir -p "$demo"
build/tools/cvf-make/cvf-make -o "$demo/sample.CVF"

app=$top/build/app/cvf-update
if [ ! -x "$app" ]; then
  # The tool itself is not built yet: show what there is.
  echo "Sample firmware file: $demo/sample.CVF"
  build/tools/cvf-make/cvf-make --describe "$demo/sample.CVF"
  if [ -x build/tools/cvf-gallery/cvf-gallery ]; then
    QT_QPA_PLATFORM=offscreen build/tools/cvf-gallery/cvf-gallery "$demo/gallery" >/dev/null
    echo "Pictures of the widgets: $demo/gallery/"
  fi
  echo "Simulated device: build/tools/cvf-devsim/cvf-devsim --name COM3"
  echo "(build/app/cvf-update is not built yet)"
  exit 0
fi

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "$no_display" >&2
  exit 1
fi

# The per-user port directory, as the tool finds it.
if [[ ${XDG_RUNTIME_DIR:-} == /* ]]; then
  portdir=$XDG_RUNTIME_DIR/cvf-update/ports
else
  portdir=/tmp/cvf-update-$(id -u)/ports
fi

app_pid=
sim_pid=
sim_tty=
linked=
lock_fd=

# Ends a process: SIGTERM, and SIGKILL if it is still there after 5 s.
stop() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Whatever ends this script ends the tool and the simulated device and
# removes the link this script or the device made.
cleanup() {
  trap - EXIT INT TERM HUP
  [ -z "$app_pid" ] || stop "$app_pid"
  if [ -n "$sim_pid" ]; then
    stop "$sim_pid"
    # The device removes its link itself unless it was killed outright.
    if [ -n "$sim_tty" ] && [ "$(readlink "$portdir/$port" 2>/dev/null)" = "$sim_tty" ]; then
      rm -f "$portdir/$port"
    fi
    [ ! -s "$demo/devsim.err" ] || sed 's/^/  /' "$demo/devsim.err"
  fi
  if [ -n "$linked" ] && [ "$(readlink "$portdir/$port" 2>/dev/null)" = "$device" ]; then
    rm -f "$portdir/$port" "$portdir/.$port.lock"
  fi
  [ -z "$lock_fd" ] || exec {lock_fd}>&-
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
trap 'cleanup; exit 129' HUP

echo "Sample firmware file: $demo/sample.CVF (version V2.4.1, 2026-11)"

if [ -n "$device" ]; then
  # Published like the simulated device does it: the link, and a lock file
  # held while we run, so that a link left behind by a killed run is ignored.
  for d in "${portdir%/*}" "$portdir"; do
    [ -d "$d" ] || mkdir -m 700 "$d"
  done
  link=$portdir/$port
  lock=$portdir/.$port.lock
  had_lock=0
  [ ! -e "$lock" ] || had_lock=1
  exec {lock_fd}>>"$lock"
  if ! flock -n "$lock_fd"; then
    echo "$port is published by another running program; choose another name with --port" >&2
    exit 1
  fi
  if [ -L "$link" ] || [ -e "$link" ]; then
    if [ $had_lock = 0 ]; then
      [ -s "$lock" ] || rm -f "$lock"
      echo "$link exists already (made by hand?); remove it or choose another name with --port" >&2
      exit 1
    fi
    rm -f "$link"  # left behind by a run that was killed
  fi
  ln -s "$device" "$link"
  linked=1
  echo "Real device: $device published as $port ($link)"
  if [ ! -r "$device" ] || [ ! -w "$device" ]; then
    echo "  you may not open $device: add yourself to its group and log in again:" \
         "sudo adduser \"\$USER\" $(stat -c %G "$device")" >&2
  fi
elif [ $sim = 1 ]; then
  : >"$demo/devsim.out"
  build/tools/cvf-devsim/cvf-devsim --name "$port" --version "V2.3.9  2025-06 " --line-time 10 \
    --log "$demo/devsim.log" >"$demo/devsim.out" 2>"$demo/devsim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^ready ' "$demo/devsim.out" && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
      wait "$sim_pid" || true
      sim_pid=
      echo "The simulated device did not start:" >&2
      cat "$demo/devsim.err" >&2
      exit 1
    fi
    sleep 0.1
  done
  read -r _ _ sim_tty < <(grep '^ready ' "$demo/devsim.out") || true
  if [ -z "$sim_tty" ]; then
    echo "The simulated device did not report ready within 10 s" >&2
    exit 1
  fi
  echo "Simulated device: $port on $sim_tty, version V2.3.9 2025-06; frames in $demo/devsim.log"
fi

echo "Starting build/app/cvf-update in $demo; close its window to end."
if [ -n "$lock_fd" ]; then
  (cd "$demo" && exec "$app") {lock_fd}>&- &  # the lock stays with this script
else
  (cd "$demo" && exec "$app") &
fi
app_pid=$!
status=0
wait "$app_pid" || status=$?
app_pid=
exit $status
