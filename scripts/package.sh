#!/usr/bin/env bash
# Makes the Debian package: installs what is missing, builds build/ if
# needed, runs `cpack -G DEB` there, checks the package and prints its path.
# With --install it then installs the package, as root or through sudo.
#   scripts/package.sh [--install]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
install=
case ${1:-} in
  '') ;;
  --install) install=1 ;;
  *) echo "Usage: scripts/package.sh [--install]" >&2; exit 2 ;;
esac
# What the programs need, and the package tools the check uses.
scripts/deps.sh --run dpkg-dev file >&2
# A tree made here holds the programs only; one of ./test keeps its tests.
options=()
[ -f build/CMakeCache.txt ] || options=(-DCVF_TESTS=OFF -DCVF_BENCH=OFF)
scripts/build.sh build "${options[@]}" >&2
programs=$(cat build/packaging/programs.txt)
case " $(echo $programs) " in
  *" cvf-update "*) ;;
  *) echo "note: cvf-update is not built yet; the package holds only: $(echo $programs)" >&2 ;;
esac
rm -f build/cvf-update_*.deb
(cd build && cpack -G DEB) >&2
deb=$(ls "$top"/build/cvf-update_*.deb)
tests/package/check-package.sh "$deb" $programs >&2
if [ -n "$install" ]; then
  sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  echo "Installing $deb..." >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >&2
fi
echo "$deb"
