#!/usr/bin/env bash
# The options a program lists in --help and those its manual page describes
# must be the same: a new option needs its page text, a dropped one must
# leave the page.
# Usage: check-man-options.sh PROGRAM PAGE
set -euo pipefail
program=$1 page=$2
from_help=$("$program" --help | grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u)
from_page=$(sed 's/\\-/-/g' "$page" | grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u)
missing=$(comm -23 <(echo "$from_help") <(echo "$from_page"))
extra=$(comm -13 <(echo "$from_help") <(echo "$from_page"))
[ -z "$missing" ] || echo "in --help of $(basename "$program") but not in $page:" $missing
[ -z "$extra" ] || echo "in $page but not in --help of $(basename "$program"):" $extra
[ -z "$missing$extra" ]
