#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh DIR [-DNAME=VALUE...] [--target TARGET...]
# The configure step runs every time, with the -D options given (cheap
# when nothing changed), so an option given later applies; a cache value
# once set stays until an option changes it. A new tree is made with
# Ninja. Without --target everything is built.
set -euo pipefail
dir=$1; shift
top=$(cd "$(dirname "$0")/.." && pwd)
options=()
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --target) shift; targets=("$@"); break ;;
    *) options+=("$1"); shift ;;
  esac
done

generator=()
[ -f "$top/$dir/CMakeCache.txt" ] || generator=(-G Ninja)
cmake -S "$top" -B "$top/$dir" ${generator[@]+"${generator[@]}"} ${options[@]+"${options[@]}"} >/dev/null
cmake --build "$top/$dir" -j "$(nproc)" ${targets[@]+--target "${targets[@]}"}
