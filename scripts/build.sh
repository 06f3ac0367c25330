#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh DIR [-DNAME=VALUE...] [--target TARGET...]
# The -D options are those of the first configure; a tree that holds
# another value for one of them is configured again with them. Without
# --target everything is built.
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

cache=$top/$dir/CMakeCache.txt
configure=
if [ ! -f "$cache" ]; then
  configure=1
else
  for option in "${options[@]}"; do
    case $option in
      -D*=*)
        name=${option#-D}
        value=${name#*=}
        name=${name%%=*}
        name=${name%%:*}
        current=$(grep -m1 "^$name:[A-Z]*=" "$cache" | cut -d= -f2-) || true
        [ "$current" = "$value" ] || configure=1
        ;;
    esac
  done
fi
if [ -n "$configure" ]; then
  cmake -S "$top" -B "$top/$dir" -G Ninja "${options[@]}" >/dev/null
fi
cmake --build "$top/$dir" -j "$(nproc)" ${targets[@]+--target "${targets[@]}"}
