#!/usr/bin/env bash
# Checks a cvf-update Debian package: control fields, dependencies found by
# dpkg-shlibdeps plus the label font, and the file list (programs, manual
# pages, with cvf-update its desktop files, with cvf-flash the station's
# unit, user, udev rule and conf file), all owned by root, with stripped
# programs; the station's conf file a conffile, its unit naming the
# package's paths, the maintainer scripts well-formed.
# Usage: check-package.sh PACKAGE.deb PROGRAM...
set -euo pipefail
deb=$1
shift
programs=("$@")
status=0
fail() { echo "FAIL: $*"; status=1; }
field() { dpkg-deb -f "$deb" "$1"; }

[ "$(field Package)" = cvf-update ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Version)" ] || fail "no Version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
[ -n "$(field Description)" ] || fail "no Description"

depends=$(field Depends)
# grep -q reads no further than its first match: under pipefail a writer
# still writing into its pipe would fail the check, so it reads a variable.
dep_names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
has_dep() { grep -qx -- "$1" <<<"$dep_names"; }
has_dep fonts-liberation2 || fail "Depends lacks fonts-liberation2: $depends"
has_dep libc6 || fail "Depends lacks libc6 (did dpkg-shlibdeps run?): $depends"
has_dep libstdc++6 || fail "Depends lacks libstdc++6: $depends"

has_app=0
for p in "${programs[@]}"; do [ "$p" = cvf-update ] && has_app=1; done
if [ $has_app = 1 ]; then
  for lib in libqt6core6 libqt6widgets6; do
    has_dep $lib || fail "Depends lacks $lib: $depends"
  done
fi

listing=$(dpkg-deb -c "$deb")
files=$(echo "$listing" | awk '{ print $6 }' | sed 's|^\.||; s|\(.\)/$|\1|')
grep -qx "/usr/share/doc/cvf-update/copyright" <<<"$files" || fail "no /usr/share/doc/cvf-update/copyright"
for p in "${programs[@]}"; do
  [ "$p" != cvf-flash ] || grep -qx "/usr/share/bash-completion/completions/cvf-flash" <<<"$files" \
    || fail "no bash completion for cvf-flash"
  grep -qx "/usr/bin/$p" <<<"$files" || fail "no /usr/bin/$p"
  grep -qx "/usr/share/man/man1/$p.1.gz" <<<"$files" || fail "no /usr/share/man/man1/$p.1.gz"
done
if [ $has_app = 1 ]; then
  grep -qE '^/usr/share/applications/[^/]+\.desktop$' <<<"$files" || fail "no desktop entry"
  grep -qE '^/usr/share/metainfo/[^/]+\.metainfo\.xml$' <<<"$files" || fail "no metainfo"
  for size in 16 32 48 256; do
    grep -qE "^/usr/share/icons/hicolor/${size}x${size}/apps/[^/]+\.png$" <<<"$files" \
      || fail "no ${size}x${size} icon"
  done
fi
grep -qx "/usr/lib/cvf-update/cvf-device" <<<"$files" || fail "no /usr/lib/cvf-update/cvf-device"
has_flash=0
for p in "${programs[@]}"; do [ "$p" = cvf-flash ] && has_flash=1; done
station=(/usr/lib/systemd/system/cvf-station.service /usr/lib/sysusers.d/cvf-station.conf
         /usr/lib/udev/rules.d/70-cvf-station.rules /etc/cvf-update/station.conf)
if [ $has_flash = 1 ]; then
  for path in "${station[@]}"; do
    grep -qx "$path" <<<"$files" || fail "no $path"
  done
fi
# Besides /usr/bin, /usr/share and /usr/lib/cvf-update only the station's
# files and their folders.
outside=$(echo "$files" | grep -vE '^/$|^/usr$|^/usr/(bin|share)(/|$)|^/usr/lib(/cvf-update(/cvf-device)?)?$' \
  | grep -vxE '/usr/lib/systemd(/system(/cvf-station\.service)?)?|/usr/lib/sysusers\.d(/cvf-station\.conf)?' \
  | grep -vxE '/usr/lib/udev(/rules\.d(/70-cvf-station\.rules)?)?|/etc(/cvf-update(/station\.conf)?)?' || true)
[ -z "$outside" ] || fail "files outside /usr/bin, /usr/share, /usr/lib/cvf-update and the station's:" $outside
notroot=$(echo "$listing" | awk '$2 != "root/root" { print $6 }')
[ -z "$notroot" ] || fail "not owned by root:" $notroot

# Programs ship without their debugging sections.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
for path in "${programs[@]/#//usr/bin/}" /usr/lib/cvf-update/cvf-device; do
  [ -f "$scratch$path" ] || continue
  [[ $(file -b "$scratch$path") == *', stripped'* ]] || fail "$path is not stripped"
done

# The station: every file under /etc a conffile (kept and asked about on
# upgrades, not overwritten), the unit made for the package's paths, the
# maintainer scripts executable shell that parses.
if [ $has_flash = 1 ]; then
  control=$scratch/DEBIAN
  dpkg-deb -e "$deb" "$control"
  etc_files=$(echo "$listing" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\.||' | grep '^/etc/' || true)
  conffiles=$(cat "$control/conffiles" 2>/dev/null || true)
  [ "$(echo "$etc_files" | sort)" = "$(echo "$conffiles" | sort)" ] \
    || fail "conffiles ($(echo $conffiles)) are not the files under /etc ($(echo $etc_files))"
  unit=$scratch/usr/lib/systemd/system/cvf-station.service
  grep -qx 'ExecStart=/usr/bin/cvf-flash .*' "$unit" || fail "the packaged unit does not run /usr/bin/cvf-flash"
  grep -qx 'EnvironmentFile=/etc/cvf-update/station.conf' "$unit" \
    || fail "the packaged unit does not read /etc/cvf-update/station.conf"
  for script in postinst prerm postrm; do
    [ -x "$control/$script" ] || { fail "no executable $script"; continue; }
    sh -n "$control/$script" || fail "$script does not parse"
  done
fi

[ $status = 0 ] && echo "$deb: $(field Package) $(field Version), Depends: $depends"
exit $status
