#!/usr/bin/env bash
# Installs the Debian packages that are missing, and the extra ones named
# as arguments. Runs as root or through sudo. Prints one line per step; the
# package manager's output goes to a log file, shown only when a step
# fails.
#   scripts/deps.sh [--run] [PACKAGE...]
# Without --run: everything the builds and the tests need (./test). With
# --run: what building and running the programs needs (./run), and Qt's
# Wayland plugin when the desktop is a Wayland one.
set -euo pipefail

# Compilers, CMake and the libraries the programs are built with; the
# labels' fonts and Qt's own German texts.
run_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-dejavu-core fonts-liberation2 qt6-translations-l10n
  libcli11-dev nlohmann-json3-dev nettle-dev
)
# The tests and benchmarks: their libraries, clang for the fuzz build, the
# displays the desktop suites start (Xvfb, weston with Qt's Wayland
# plugin), the package checks, and systemd (systemd-analyze checks unit
# files).
test_packages=(
  clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev qt6-base-private-dev
  xvfb xauth weston qt6-wayland
  desktop-file-utils appstream dpkg-dev file systemd
)

packages=("${run_packages[@]}")
if [ "${1:-}" = --run ]; then
  shift
  [ -z "${WAYLAND_DISPLAY:-}" ] || packages+=(qt6-wayland)
else
  packages+=("${test_packages[@]}")
fi
for p in "$@"; do
  if [[ ! $p =~ ^[a-z0-9][a-z0-9+.-]+$ ]]; then
    echo "deps.sh: '$p' is not a Debian package name" >&2
    exit 2
  fi
  packages+=("$p")
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "deps.sh: these packages are missing: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ${missing[*]}), or install sudo." >&2
    exit 1
  fi
  sudo=(sudo)
fi

log=$(mktemp "${TMPDIR:-/tmp}/cvf-deps.XXXXXX.log")
# Runs one step (its description first), its output into the log.
step() {
  local what=$1
  shift
  echo "$what"
  if ! "$@" >>"$log" 2>&1 </dev/null; then
    echo "deps.sh: that failed; the end of the package manager's log ($log):" >&2
    tail -n 40 "$log" | sed 's/^/  /' >&2
    exit 1
  fi
}
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q)
step "Updating the package lists..." "${apt[@]}" update
count="${#missing[@]} packages"
[ ${#missing[@]} -ne 1 ] || count="1 package"
step "Installing $count: ${missing[*]}..." \
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
rm -f "$log"
