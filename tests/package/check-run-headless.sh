#!/usr/bin/env bash
# What ./run shows on a machine without a desktop, from the programs of a
# build tree: the demo runs to its end (cvf-flash updates the simulated
# device, cvf-screens saves a picture of every step and their paths are
# printed), and Ctrl-C, SIGTERM and SIGHUP in the middle end it with
# 128 plus the signal's number. No process the demo started is left after
# any of them.
# Usage: check-run-headless.sh SOURCE-DIR BUILD-DIR SCRATCH-DIR
set -euo pipefail
top=$1 build=$2 scratch=$3
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$scratch"
mkdir -p "$scratch"
mkdir -m 700 "$scratch/runtime"

# The processes of one run carry its mark in their environment.
left_over() {
  local pid found=()
  for pid in $(grep -lzx "CVF_RUN_CHECK=$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
    found+=("$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)")
  done
  [ ${#found[@]} -eq 0 ] || printf '%s\n' "${found[@]}"
}

# Starts the demo in a session of its own (its own process group, as in
# a terminal); sets pid and out.
start_demo() {
  local name=$1
  out=$scratch/$name.out
  setsid env -u DISPLAY -u WAYLAND_DISPLAY -u LANGUAGE -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="$scratch/runtime" \
    CVF_BUILD_DIR="$build" CVF_DEMO_DIR="$scratch/$name" CVF_RUN_CHECK="$scratch/$name" \
    "$top/scripts/start.sh" >"$out" 2>&1 </dev/null &
  pid=$!
}

# Waits up to $2 seconds for the output to hold a line matching $1.
wait_for_line() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    grep -q -- "$1" "$out" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q -- "$1" "$out"
}

# Waits for the demo to end; sets code.
finish() {
  local i
  for ((i = 0; i < 1200; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  code=0
  wait "$pid" || code=$?
}

check_nothing_left() {
  local left
  sleep 0.5
  left=$(left_over "$scratch/$1")
  [ -z "$left" ] || fail "$1: processes left:"$'\n'"$left"
  [ -z "$(ls -A "$scratch/runtime/cvf-update/ports" 2>/dev/null)" ] ||
    fail "$1: port links left: $(ls -A "$scratch/runtime/cvf-update/ports")"
}

# --- the whole demo -------------------------------------------------------

start_demo whole
finish
[ "$code" = 0 ] || fail "whole demo: exit status $code"
for text in "so the demo runs in this terminal" "on a desktop ./run opens the window" \
            "COM3: Firmware update started" "% transferred" "COM3: Firmware update ended" \
            "COM3: The Demo Controller has been rebooted." "cvf-flash: done (exit status 0)." \
            "was told to restart (RST|) and did"; do
  grep -qF -- "$text" "$out" || fail "whole demo: no line \"$text\""
done
shots=$(grep '\.png$' "$out" || true)
[ "$(echo "$shots" | grep -c .)" = 8 ] || fail "whole demo: 8 picture paths expected, printed: $shots"
for shot in $shots; do
  [ -s "$shot" ] || fail "whole demo: $shot printed but not there"
  case $shot in "$scratch/whole/screens/"*) ;; *) fail "whole demo: $shot is outside the demo folder" ;; esac
done
grep -q 'xvfb' "$out" && fail "whole demo: still suggests xvfb-run"
check_nothing_left whole
[ $status = 0 ] || sed 's/^/  | /' "$out"

# --- ended in the middle --------------------------------------------------

# Ctrl-C reaches the whole process group, during the pictures.
start_demo interrupted
wait_for_line '1-welcome.png$' 120 || fail "interrupted: no picture began"
kill -INT -- "-$pid" 2>/dev/null || true
finish
[ "$code" = 130 ] || fail "Ctrl-C: exit status $code, not 130"
check_nothing_left interrupted

# SIGTERM and SIGHUP to the script alone, during the transfer: cvf-flash
# winds it down and the device is told to restart.
for signal in TERM HUP; do
  start_demo "$signal"
  wait_for_line '% transferred' 60 || fail "$signal: the transfer did not begin"
  kill "-$signal" "$pid" 2>/dev/null || true
  finish
  expected=143
  [ $signal = TERM ] || expected=129
  [ "$code" = $expected ] || fail "$signal: exit status $code, not $expected"
  grep -q -- '-- restart' "$scratch/$signal/devsim.log" || fail "$signal: the device was not told to restart"
  check_nothing_left "$signal"
done

[ $status = 0 ] && echo "headless ./run: the demo, Ctrl-C, SIGTERM and SIGHUP as expected"
exit $status
