#!/usr/bin/env bash
# Makes the Debian package: installs what is missing, builds build/ if
# needed, runs `cpack -G DEB` there, checks the package and prints its path.
#   scripts/package.sh
#   sudo apt install ./build/cvf-update_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/deps.sh >&2
scripts/build.sh build >&2
programs=$(cat build/packaging/programs.txt)
case " $(echo $programs) " in
  *" cvf-update "*) ;;
  *) echo "note: cvf-update is not built yet; the package holds only: $(echo $programs)" >&2 ;;
esac
rm -f build/cvf-update_*.deb
(cd build && cpack -G DEB) >&2
deb=$(ls "$top"/build/cvf-update_*.deb)
tests/package/check-package.sh "$deb" $programs >&2
echo "$deb"
