#!/usr/bin/env bash
# Builds cvf-artgen on its own (it needs only Qt 6 Gui) and lets it draw
# the artwork into res/ and the window mock-up into docs/art-mockup.png.
# Usage: res/make-artwork.sh [BUILD_DIR]   (default: build-art/artgen)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-art/artgen}
case $dir in /*) ;; *) dir=$top/$dir ;; esac
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$top/tools/cvf-artgen" -B "$dir" -G Ninja >/dev/null
fi
cmake --build "$dir"
"$dir/cvf-artgen" "$top/res"
mkdir -p "$top/docs"
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
  "$dir/cvf-artgen" --mockup "$top/docs/art-mockup.png" 2>/dev/null
echo "artwork written to $top/res, mock-up to $top/docs/art-mockup.png"
