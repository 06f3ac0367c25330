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
closes, or on Ctrl-C, the simulated device stops and its port link goes;
a transfer that runs is first wound down by the tool (it finishes the
line and restarts the device), which may take half a minute.

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

devsim=build/tools/cvf-devsim/cvf-devsim
app_pid=
pub_pid=

# alive PID, stop PID SIGNAL SECONDS
. "$top/scripts/processes.sh"

# Whatever ends this script ends the tool, then the port's publisher (the
# simulated device or cvf-devsim --publish), which removes the port's link.
# A transfer that is running is wound down by the tool itself: it finishes
# the current line and restarts the device (up to about 35 s), so it gets
# 60 s before it is killed. The publisher runs in a session of its own, so
# that Ctrl-C and the terminal's hang-up reach only this script and the
# tool, and the device is there until the tool has ended. Neither a second
# signal nor a terminal that is gone cuts this short.
cleanup() {
  trap '' INT TERM HUP PIPE
  set +e
  if [ -n "$app_pid" ] && alive "$app_pid"; then
    echo "Waiting for cvf-update to end (a transfer that runs is wound down first)..." 2>/dev/null
    stop "$app_pid" TERM 60
  fi
  app_pid=
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

echo "Starting build/app/cvf-update in $demo; close its window to end."
(cd "$demo" && exec "$app") &
app_pid=$!
status=0
wait "$app_pid" || status=$?
app_pid=
exit $status
