#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and checks what lands there:
# exactly the programs, their manual pages and, with cvf-update, its desktop
# entry, icons and metainfo; that the programs start from there; that the
# desktop entry, icons and metainfo name each other correctly.
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
  if [ "$p" = cvf-flash ]; then expected+=("share/bash-completion/completions/cvf-flash"); fi
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
  if ldd "$prefix/bin/$p" | grep -q 'not found'; then
    fail "bin/$p misses libraries: $(ldd "$prefix/bin/$p" | grep 'not found' | tr -s ' \t' ' ')"
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

# The compressed manual pages open and carry their program's name.
if command -v man >/dev/null; then
  for p in "${programs[@]}"; do
    page="$prefix/share/man/man1/$p.1.gz"
    [ -f "$page" ] || continue
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^ *$p - " \
      || fail "share/man/man1/$p.1.gz does not open as the page of $p"
  done
fi

[ $status = 0 ] && echo "installed as expected: ${programs[*]}"
exit $status
