#!/usr/bin/env bash
# Lets anyone hear what a blind user hears: runs the screen reader Orca on a
# virtual display with a silent speech module that writes down what it
# says, walks one whole update against the simulated device with the
# keyboard alone and prints the transcript. scripts/listen.sh --help for
# the options.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

usage() {
  cat <<'EOF'
Usage: scripts/listen.sh [--wm metacity|openbox] [--lang en|de] [--out FILE]
                         [--logs DIR] [--rate N] [--slow N] [--flash-error]

Installs what is missing (Orca, speech-dispatcher, the accessibility bus,
Xvfb, the window managers, xdotool), builds cvf-update, cvf-make and
cvf-devsim, writes build/listen/sample.CVF and runs, on a display of its
own: a window manager, a D-Bus session with the accessibility bus, Orca
speaking through a silent module that writes what it says to a file, the
simulated device (as COM3, in a port folder of its own) and the tool.
Then it presses the keys of one update as a blind user does (space on
whatever has the focus, the file name typed into the file dialog and
Return) and prints what Orca said, in order, with the keys between.
Everything it started is ended when it ends, whatever way it ends.

  --wm NAME     window manager: metacity (default) or openbox
  --lang LANG   en (default) or de: the language of the tool and of Orca
  --out FILE    also write the transcript to FILE
  --logs DIR    keep Orca's debug log, the speech file, the simulator's
                frame log and the tool's output in DIR
  --rate N      the silent voice's speed in characters a second (default
                15, about 170 words a minute; 0: no time at all); what a
                voice of that speed would not have finished before it was
                interrupted is marked "cut off"
  --slow N      multiply every time limit by N (a busy machine)
  --flash-error the device fails to write a line: the failure is heard
                and the window is then closed with Alt+F4
  -h, --help    this text

Exit status: 0 the update went through and every expected text was heard;
3 it went through but something was not heard (listed at the end of the
transcript); 1 a step did not happen or something could not start.
EOF
}

wm=metacity
lang=en
out=
logs=
rate=15
slow=1
flash_error=
while [ $# -gt 0 ]; do
  case $1 in
    --wm) [ $# -ge 2 ] || { echo "--wm needs a name" >&2; exit 2; }; wm=$2; shift 2 ;;
    --lang) [ $# -ge 2 ] || { echo "--lang needs en or de" >&2; exit 2; }; lang=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || { echo "--out needs a file" >&2; exit 2; }; out=$2; shift 2 ;;
    --logs) [ $# -ge 2 ] || { echo "--logs needs a folder" >&2; exit 2; }; logs=$2; shift 2 ;;
    --rate) [ $# -ge 2 ] || { echo "--rate needs a number" >&2; exit 2; }; rate=$2; shift 2 ;;
    --slow) [ $# -ge 2 ] || { echo "--slow needs a number" >&2; exit 2; }; slow=$2; shift 2 ;;
    --flash-error) flash_error=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1 (see scripts/listen.sh --help)" >&2; exit 2 ;;
  esac
done
case $wm in metacity|openbox) ;; *) echo "--wm: metacity or openbox, not '$wm'" >&2; exit 2 ;; esac
case $lang in en|de) ;; *) echo "--lang: en or de, not '$lang'" >&2; exit 2 ;; esac
[[ $rate =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "--rate: a number of characters a second" >&2; exit 2; }
[[ $slow =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "--slow: a number" >&2; exit 2; }
[ -z "$out" ] || out=$(realpath -m -- "$out")
[ -z "$logs" ] || logs=$(realpath -m -- "$logs")

# --- what it needs ------------------------------------------------------------

packages=(orca speech-dispatcher at-spi2-core dbus xvfb x11-utils xdotool
          metacity openbox locales python3)
scripts/deps.sh "${packages[@]}"
# A deps.sh that takes no package names installs only the base set.
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  aptlog=$(mktemp)
  if ! { $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
         $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
       >"$aptlog" 2>&1; then
    cat "$aptlog" >&2
    rm -f "$aptlog"
    exit 1
  fi
  rm -f "$aptlog"
fi

mkdir -p build/listen
buildlog=$top/build/listen/build.log
if ! { [ -f build/CMakeCache.txt ] || cmake -S . -B build -G Ninja; } >"$buildlog" 2>&1 ||
   ! cmake --build build --target cvf-update cvf-make cvf-devsim >>"$buildlog" 2>&1; then
  tail -n 30 "$buildlog" >&2
  echo "The build failed; all of it in $buildlog" >&2
  exit 1
fi

sample=$top/build/listen/sample.CVF
build/tools/cvf-make/cvf-make -o "$sample"

# German needs a German locale; one of the machine's or one made for this run.
locale_path=
lang_env=(LANG=C.UTF-8 LANGUAGE=en)
if [ "$lang" = de ]; then
  lang_env=(LANG=de_DE.UTF-8 LANGUAGE=de_DE:de)
  if ! grep -qix 'de_DE.utf-\?8' <<<"$(locale -a 2>/dev/null)"; then
    locale_path=$top/build/listen/locale
    if [ ! -d "$locale_path/de_DE.UTF-8" ]; then
      mkdir -p "$locale_path"
      localedef -i de_DE -f UTF-8 "$locale_path/de_DE.UTF-8" >/dev/null 2>&1 || {
        echo "Cannot make the locale de_DE.UTF-8 (localedef)" >&2; exit 1; }
    fi
  fi
fi

# --- one private folder for everything of this run ---------------------------------

run=$(mktemp -d /tmp/cvf-listen.XXXXXX)  # mode 0700
mkdir -m 700 "$run/rt" "$run/home" "$run/home/.config" "$run/orca" "$run/speechd"
mkdir "$run/speechd/modules"

pids=()    # in the order started; ended in the reverse order
app_pid=
walk_pid=

# Keeps a process started in the background for the cleanup; the shell
# still reaps it but no longer reports how it ended.
started() {
  pids+=("$1")
  disown "$1"
}

# alive PID, stop PID SIGNAL SECONDS
. "$top/scripts/processes.sh"

cleanup() {
  local status=$? i pid
  trap - EXIT INT TERM HUP
  [ -z "$walk_pid" ] || stop "$walk_pid" TERM 3
  [ -z "$app_pid" ] || stop "$app_pid" TERM 3
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    stop "${pids[i]}" TERM 3
  done
  # What those started in turn (the accessibility bus's daemon and registry,
  # the speech module) carries this run's mark in its environment.
  for i in 1 2 3; do
    local left=()
    for pid in $(grep -lzx "CVF_LISTEN_RUN=$run" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
      [ "$pid" != $$ ] && left+=("$pid")
    done
    [ ${#left[@]} -gt 0 ] || break
    for pid in "${left[@]}"; do
      kill -TERM "$pid" 2>/dev/null || true
    done
    sleep 0.5
    if [ "$i" = 3 ]; then
      for pid in "${left[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    fi
  done
  if [ -n "$logs" ]; then
    mkdir -p "$logs"
    for f in speech.tsv orca-debug.log orca.log sim.log sim.err app.log wm.log speechd.log xvfb.log atspi.log; do
      [ ! -f "$run/$f" ] || cp "$run/$f" "$logs/"
    done
  fi
  rm -rf "$run"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Waits up to $1 seconds (times --slow) for the command after it to succeed.
wait_for() {
  local limit=$1 end
  shift
  end=$(awk -v s="$limit" -v k="$slow" 'BEGIN { print int(s * k * 10) }')
  for ((n = 0; n < end; n++)); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
fail() {
  echo "$1" >&2
  [ -z "${2:-}" ] || [ ! -s "$2" ] || tail -n 20 "$2" | sed 's/^/  /' >&2
  exit 1
}

export CVF_LISTEN_RUN=$run
export HOME=$run/home XDG_RUNTIME_DIR=$run/rt XDG_CONFIG_HOME=$run/home/.config
export XDG_DATA_HOME=$run/home/.local/share XDG_CACHE_HOME=$run/home/.cache
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=0
[ -z "$locale_path" ] || lang_env+=(LOCPATH="$locale_path")
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS SESSION_MANAGER LC_ALL LC_MESSAGES

# The display: the first free number from 40 on. Xvfb takes a number by its
# lock file /tmp/.X<n>-lock, which holds its process id; only when the
# lock is its own and the display answers is it ours. Without -noreset it
# would reset when that first test connection closes, and refuse the
# window manager that comes in at that moment.
display_ready() {
  [ "$(tr -d ' \n' 2>/dev/null <"/tmp/.X$1-lock")" = "$2" ] &&
    DISPLAY=:$1 xprop -root _NET_SUPPORTED >/dev/null 2>&1
}
display=
for n in $(seq 40 99); do
  [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ] || continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >"$run/xvfb.log" 2>&1 &
  xvfb=$!
  disown "$xvfb"
  for ((i = 0; i < 100; i++)); do
    if display_ready "$n" "$xvfb"; then display=$n; break; fi
    alive "$xvfb" || break
    sleep 0.1
  done
  if [ -n "$display" ]; then
    pids+=("$xvfb")
    break
  fi
  stop "$xvfb" TERM 3
done
[ -n "$display" ] || fail "Xvfb did not start on any display from :40 to :99" "$run/xvfb.log"
export DISPLAY=:$display

# The session bus and the accessibility bus on it.
dbus-daemon --session --nofork --print-address=3 3>"$run/bus" >"$run/dbus.log" 2>&1 &
started $!
wait_for 10 grep -q . "$run/bus" || fail "the D-Bus session did not start" "$run/dbus.log"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$run/bus")
export DBUS_SESSION_BUS_ADDRESS
/usr/libexec/at-spi-bus-launcher --launch-immediately >"$run/atspi.log" 2>&1 &
started $!
a11y_bus() {
  dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress |
    grep -q 'unix:'
}
wait_for 10 a11y_bus || fail "the accessibility bus did not start" "$run/atspi.log"

# The window manager.
case $wm in
  metacity) metacity --sm-disable --compositor=none >"$run/wm.log" 2>&1 & ;;
  openbox) openbox --sm-disable >"$run/wm.log" 2>&1 & ;;
esac
started $!
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
wait_for 10 wm_ready || fail "$wm did not start" "$run/wm.log"

# speech-dispatcher with the capture module as its only voice.
cat >"$run/speechd/speechd.conf" <<EOF
CommunicationMethod "unix_socket"
SocketPath "default"
LogLevel 3
LogDir "$run/speechd-logs"
AddModule "capture" "$top/scripts/listen/capture-module.py" "capture.conf"
DefaultModule capture
DefaultLanguage "$lang"
EOF
printf 'CaptureFile %s\nCharsPerSecond %s\n' "$run/speech.tsv" "$rate" >"$run/speechd/modules/capture.conf"
: >"$run/speech.tsv"
env "${lang_env[@]}" speech-dispatcher --run-single --timeout 0 --config-dir "$run/speechd" >"$run/speechd.log" 2>&1 &
started $!
wait_for 10 test -S "$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock" ||
  fail "speech-dispatcher did not start" "$run/speechd.log"

# Orca, with settings of this run only; it says it is on when it is ready.
# It will not start while another Orca of this user runs anywhere (it asks
# pgrep); only those of this run count here, so that the user's own screen
# reader and other runs are left alone.
mkdir "$run/bin"
cat >"$run/bin/pgrep" <<'EOF'
#!/bin/sh
for pid in $(/usr/bin/pgrep "$@"); do
  grep -qzx "CVF_LISTEN_RUN=$CVF_LISTEN_RUN" "/proc/$pid/environ" 2>/dev/null && echo "$pid"
done
exit 0
EOF
chmod +x "$run/bin/pgrep"
env PATH="$run/bin:$PATH" "${lang_env[@]}" orca --user-prefs "$run/orca" --debug-file "$run/orca-debug.log" >"$run/orca.log" 2>&1 &
started $!
wait_for 30 grep -q "$(printf '\tsay\t')" "$run/speech.tsv" || fail "Orca did not speak within 30 s" "$run/orca.log"
# What a desktop does when its screen reader is on; toolkits read it.
dbus-send --session --type=method_call --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
  string:org.a11y.Status string:ScreenReaderEnabled variant:boolean:true

# The simulated device, in this run's own port folder.
build/tools/cvf-devsim/cvf-devsim --name COM3 --version "V2.3.9  2025-06 " --line-time 10 \
  ${flash_error:+--fault flash:5} --log "$run/sim.log" >"$run/sim.out" 2>"$run/sim.err" &
started $!
wait_for 10 grep -q '^ready ' "$run/sim.out" || fail "the simulated device did not start" "$run/sim.err"

# The tool, in the folder of the sample, where its file dialog opens.
since=$(date +%s.%N)
(cd "$(dirname "$sample")" && exec env "${lang_env[@]}" "$top/build/app/cvf-update") >"$run/app.log" 2>&1 &
app_pid=$!
disown "$app_pid"

echo "Walking an update: Orca, $wm, $lang ..." >&2
# In the background, so that a signal to this script ends the walk at once.
/usr/bin/python3 scripts/listen/walk.py --speech "$run/speech.tsv" --simlog "$run/sim.log" --app-pid "$app_pid" \
  --file "$sample" --wm "$wm" --lang "$lang" --timeout-scale "$slow" --since "$since" ${out:+--out "$out"} \
  ${flash_error:+--flash-error} &
walk_pid=$!
status=0
wait "$walk_pid" || status=$?
walk_pid=
exit $status
