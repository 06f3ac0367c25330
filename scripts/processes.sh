# Sourced by the scripts that start and end processes of their own.

# True while process $1 runs (a child that ended but is not reaped yet
# does not count).
alive() {
  local state
  state=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  state=${state##*) }
  [ "${state:0:1}" != Z ]
}

# Ends process $1: sends signal $2, waits up to $3 seconds for it to go,
# then SIGKILL; reaps it when it is a child of this shell.
stop() {
  local pid=$1 signal=$2 seconds=$3 i
  kill "-$signal" "$pid" 2>/dev/null || return 0
  for ((i = 0; i < seconds * 10; i++)); do
    alive "$pid" || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
