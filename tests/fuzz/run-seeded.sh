#!/usr/bin/env bash
# Usage: run-seeded.sh FUZZER SEEDS WORKDIR SECONDS
# Fuzzes for SECONDS seconds from the seed corpus SEEDS (left untouched:
# new inputs go to WORKDIR/corpus, crashes to WORKDIR).
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus"
"$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$seeds" 2>&1 | tail -n 12
