#!/usr/bin/env bash
# Builds cvf-artgen and lets it draw the artwork into res/.
# Usage: res/make-artwork.sh [BUILD_DIR]   (default: build-art)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-art}
case $dir in /*) ;; *) dir=$top/$dir ;; esac
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$dir" -G Ninja >/dev/null
fi
cmake --build "$dir" --target cvf-artgen
"$dir/tools/cvf-artgen/cvf-artgen" "$top/res"
echo "artwork written to $top/res"
