#!/usr/bin/env bash
# Configures (first time only) and builds one build tree.
# Usage: scripts/build.sh DIR [cmake options...]
set -euo pipefail
dir=$1; shift
top=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$top/$dir/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$top/$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$top/$dir" -j "$(nproc)"
