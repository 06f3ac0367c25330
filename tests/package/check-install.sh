#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and checks what lands there:
# exactly the programs, their manual pages and, with cvf-update, its desktop
# entry, icons and metainfo; that the programs start from there; that the
# desktop entry, icons and metainfo name each other correctly.
# With cvf-flash, the station too: its unit passes systemd-analyze verify
# and names the prefix's cvf-flash and conf file, and the command line the
# unit makes of the shipped conf file (a firmware file and a record file
# filled in) finds a simulated device, records it and, stopped by SIGTERM,
# ends with a status the unit takes as a clean stop.
# Usage: check-install.sh BUILD-DIR SCRATCH-PREFIX PROGRAM...
set -euo pipefail
build=$1 prefix=$2
shift 2
programs=("$@")
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# The PNG header holds width and height as 32-bit big-endian numbers.
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

expected=("share/doc/cvf-update/copyright" "lib/cvf-update/cvf-device")
for p in "${programs[@]}"; do
  expected+=("bin/$p" "share/man/man1/$p.1.gz")
  if [ "$p" = cvf-flash ]; then
    expected+=("share/bash-completion/completions/cvf-flash" "lib/systemd/system/cvf-station.service"
               "lib/sysusers.d/cvf-station.conf" "lib/udev/rules.d/70-cvf-station.rules"
               "etc/cvf-update/station.conf")
  fi
done

has_app=0
for p in "${programs[@]}"; do [ "$p" = cvf-update ] && has_app=1; done
if [ $has_app = 1 ]; then
  desktop=$(cd "$prefix" && ls share/applications/*.desktop 2>/dev/null || true)
  metainfo=$(cd "$prefix" && ls share/metainfo/*.metainfo.xml 2>/dev/null || true)
  [ "$(echo "$desktop" | grep -c .)" = 1 ] || fail "one desktop entry expected, found: ${desktop:-none}"
  [ "$(echo "$metainfo" | grep -c .)" = 1 ] || fail "one metainfo file expected, found: ${metainfo:-none}"
  expected+=("$desktop" "$metainfo")
  if [ -n "$desktop" ] && [ -n "$metainfo" ]; then
    id=$(basename "$desktop" .desktop)
    [ "$(basename "$metainfo" .metainfo.xml)" = "$id" ] || fail "metainfo $metainfo is not named after $desktop"
    grep -q "<id>$id</id>" "$prefix/$metainfo" || fail "metainfo id is not $id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$prefix/$metainfo" \
      || fail "metainfo does not launch $id.desktop"
    exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$prefix/$desktop")
    [ -x "$prefix/bin/$exec_cmd" ] || fail "desktop entry runs '$exec_cmd', which is not installed"
    icon=$(sed -n 's/^Icon=//p' "$prefix/$desktop")
    for size in 16 32 48 256; do
      png=share/icons/hicolor/${size}x${size}/apps/$icon.png
      expected+=("$png")
      if [ -f "$prefix/$png" ]; then
        got=$(png_size "$prefix/$png")
        [ "$got" = "${size}x${size}" ] || fail "$png is $got"
      fi
    done
  fi
fi

# Exactly the expected files, nothing missing, nothing more.
actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort -u)
missing=$(comm -23 <(echo "$wanted") <(echo "$actual"))
extra=$(comm -13 <(echo "$wanted") <(echo "$actual"))
[ -z "$missing" ] || fail "not installed:" $missing
[ -z "$extra" ] || fail "installed but not expected:" $extra

# The installed programs find their libraries and start.
for p in "${programs[@]}"; do
  [ -x "$prefix/bin/$p" ] || continue
  # Read whole before grep looks: grep -q stops at its first match, which
  # under pipefail would fail a writer still writing.
  libs=$(ldd "$prefix/bin/$p")
  if grep -q 'not found' <<<"$libs"; then
    fail "bin/$p misses libraries: $(grep 'not found' <<<"$libs" | tr -s ' \t' ' ')"
  fi
done
if [ -x "$prefix/bin/cvf-make" ]; then
  "$prefix/bin/cvf-make" -o "$prefix/check.CVF" && "$prefix/bin/cvf-make" --describe "$prefix/check.CVF" >/dev/null \
    || fail "installed cvf-make does not write a good sample"
  rm -f "$prefix/check.CVF"
fi
if [ -x "$prefix/bin/cvf-devsim" ]; then
  "$prefix/bin/cvf-devsim" --help >/dev/null || fail "installed cvf-devsim --help fails"
fi
# The installed cvf-flash finds its device process and updates a simulated
# device with it, in a port folder of its own.
if [ -x "$prefix/bin/cvf-flash" ] && [ -x "$prefix/bin/cvf-devsim" ] && [ -x "$prefix/bin/cvf-make" ]; then
  run=$(mktemp -d)
  mkdir -m 700 "$run/sys"
  "$prefix/bin/cvf-make" -o "$run/sample.CVF"
  XDG_RUNTIME_DIR=$run "$prefix/bin/cvf-devsim" --name COM3 --no-pacing >"$run/sim.out" 2>/dev/null &
  sim=$!
  for _ in $(seq 50); do grep -q '^ready' "$run/sim.out" && break; sleep 0.1; done
  XDG_RUNTIME_DIR=$run timeout 60 "$prefix/bin/cvf-flash" -y --sysfs "$run/sys" "$run/sample.CVF" >"$run/flash.out" 2>&1 \
    || fail "installed cvf-flash did not update a simulated device: $(tail -n 3 "$run/flash.out")"
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  rm -rf "$run"
fi

# The station's unit, as systemd reads it. systemd-analyze prints what it
# ignores (an unknown key, a bad value) and still ends with 0, so any word
# from it fails; it opens the unit's Documentation= page, found here in
# the prefix.
unit=$prefix/lib/systemd/system/cvf-station.service
if [ -f "$unit" ]; then
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  conf=$(sed -n 's/^EnvironmentFile=//p' "$unit")
  [ "${exec_start%% *}" = "$prefix/bin/cvf-flash" ] || fail "the unit runs ${exec_start%% *}, not $prefix/bin/cvf-flash"
  [ "$conf" = "$prefix/etc/cvf-update/station.conf" ] || fail "the unit reads $conf, not the prefix's station.conf"
  if command -v systemd-analyze >/dev/null; then
    said=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) \
      && [ -z "$said" ] || fail "systemd-analyze verify cvf-station.service: $said"
  else
    echo "skipped: systemd-analyze verify (no systemd-analyze; the Debian package systemd has it)"
  fi
fi

# The station's user, as systemd-sysusers makes it from the installed file
# in a root of its own (the machine's users are copied, not touched).
sysusers=$prefix/lib/sysusers.d/cvf-station.conf
if [ -f "$sysusers" ] && command -v systemd-sysusers >/dev/null; then
  root=$(mktemp -d)
  mkdir -p "$root/etc" "$root/usr/lib/sysusers.d"
  cp /etc/passwd /etc/group "$root/etc/"
  touch "$root/etc/shadow" "$root/etc/gshadow"
  cp "$sysusers" "$root/usr/lib/sysusers.d/"
  said=$(systemd-sysusers --root="$root" cvf-station.conf 2>&1) || fail "systemd-sysusers cvf-station.conf: $said"
  grep -q '^cvf-station:x:[0-9]*:[0-9]*:[^:]*:/var/lib/cvf-station:' "$root/etc/passwd" \
    || fail "systemd-sysusers made no user cvf-station with the home /var/lib/cvf-station: $said"
  rm -rf "$root"
fi

# The station's command line as systemd makes it (systemd.service(5)):
# ${X} becomes exactly one argument, $X the value's words, none when empty.
station_command() {
  local word name value words
  station=()
  for word in $exec_start; do
    if [[ $word =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
      name=${BASH_REMATCH[1]}; station+=("${!name-}")
    elif [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
      name=${BASH_REMATCH[1]}; read -ra words <<<"${!name-}"; station+=("${words[@]}")
    else
      station+=("$word")
    fi
  done
}
if [ -f "$unit" ] && [ -f "${conf:-}" ] && [ -x "$prefix/bin/cvf-devsim" ] \
   && [ -x "$prefix/bin/cvf-make" ]; then
  run=$(mktemp -d)
  mkdir -m 700 "$run/sys"
  "$prefix/bin/cvf-make" -o "$run/sample.CVF"
  # The shipped settings, as the administrator fills them in; OPTIONS keeps
  # the run away from the machine's ports.
  for name in FIRMWARE RECORD MATCH OPTIONS; do
    grep -q "^$name=" "$conf" || fail "station.conf sets no $name"
  done
  while IFS='=' read -r name value; do
    [[ $name =~ ^[A-Z_]+$ ]] && declare "$name=$value"
  done < <(grep -E '^[A-Z_]+=' "$conf")
  FIRMWARE=$run/sample.CVF RECORD=$run/records.jsonl OPTIONS="--sysfs $run/sys"
  station_command
  XDG_RUNTIME_DIR=$run "$prefix/bin/cvf-devsim" --name COM3 --no-pacing >"$run/sim.out" 2>/dev/null &
  sim=$!
  for _ in $(seq 50); do grep -q '^ready' "$run/sim.out" && break; sleep 0.1; done
  XDG_RUNTIME_DIR=$run timeout 60 "${station[@]}" >"$run/station.out" 2>&1 &
  pid=$!
  # Stopped as systemd stops it, once the device is found: its update is
  # cut short (or just done), and the run must end with a status the unit
  # takes as a clean stop, its one record written.
  for _ in $(seq 300); do
    grep -q '"event":"found"' "$run/station.out" 2>/dev/null || ! kill -0 "$pid" 2>/dev/null && break
    sleep 0.1
  done
  when="on SIGTERM"
  kill -TERM "$pid" 2>/dev/null || when="by itself, before SIGTERM"
  code=0; wait "$pid" || code=$?
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  success=" 0 $(sed -n 's/^SuccessExitStatus=//p' "$unit") "
  [[ $success == *" $code "* ]] \
    || fail "the station's command line ended with $code $when: $(tail -n 3 "$run/station.out")"
  records=$(grep -c '"event":"result"' "$run/records.jsonl" 2>/dev/null || true)
  [ "${records:-0}" = 1 ] || fail "the station wrote ${records:-no} records, not one: $(tail -n 3 "$run/station.out")"
  rm -rf "$run"
fi

# The compressed manual pages open and carry their program's name.
if command -v man >/dev/null; then
  for p in "${programs[@]}"; do
    page="$prefix/share/man/man1/$p.1.gz"
    [ -f "$page" ] || continue
    shown=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null || true)
    grep -q "^ *$p - " <<<"$shown" || fail "share/man/man1/$p.1.gz does not open as the page of $p"
  done
fi

[ $status = 0 ] && echo "installed as expected: ${programs[*]}"
exit $status
