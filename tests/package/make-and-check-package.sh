#!/usr/bin/env bash
# Makes the Debian package of a build tree in a scratch folder and checks it.
# Usage: make-and-check-package.sh BUILD-DIR SCRATCH-DIR PROGRAM...
set -euo pipefail
build=$1 out=$2
shift 2
rm -rf "$out"
mkdir -p "$out"
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log"
  exit 1
fi
debs=("$out"/*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || { echo "cpack made no single package:" "${debs[@]}"; exit 1; }
exec "$(dirname "$0")/check-package.sh" "${debs[0]}" "$@"
