#!/usr/bin/env bash
# Usage: run-fuzz.sh FUZZER CVF_MAKE WORKDIR SECONDS [SEED_DIR | -FLAG ...]
# Makes a seed corpus with cvf-make and fuzzes for SECONDS seconds. Further
# arguments go to the fuzzer as they are: more seed directories, or flags
# that override the ones below.
set -euo pipefail
fuzzer=$1 make=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/seeds" "$work/corpus"
s=$work/seeds
"$make" -o "$s/sample.cvf" --blocks 1 --block-bytes 4200 --line-bytes 64
"$make" -o "$s/small.cvf" --no-version --blocks 2 --block-bytes 48 --line-bytes 16
"$make" -o "$s/badsum.cvf" --no-version --blocks 2 --block-bytes 40 --bad-block-sum 2
"$make" -o "$s/badline.cvf" --no-version --blocks 1 --block-bytes 40 --bad-checksum 2
"$make" -o "$s/lower.cvf" --no-version --blocks 1 --block-bytes 20 --lowercase-checksum 0
"$make" -o "$s/lf.cvf" --no-version --blocks 1 --block-bytes 20 --lf-only
"$make" -o "$s/blank.cvf" --no-version --blocks 1 --block-bytes 20 --blank-line-at-end
"$make" -o "$s/long.cvf" --no-version --blocks 1 --block-bytes 20 --overlong-line 1
"$make" -o "$s/open.cvf" --no-version --blocks 2 --block-bytes 20 --no-final-marker
printf 'ASP|60\004' > "$s/asp"
printf 'DEV|A|2E\004' > "$s/reply"
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$s" "${@:5}" 2>&1 | tail -n 12
