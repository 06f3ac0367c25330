#!/usr/bin/env bash
# Usage: make-loader-corpus.sh CVF_MAKE DIR
# Writes the seed corpus of the loader fuzz target (kept in corpus/loader/):
# small files from cvf-make, good ones and one of each deliberate fault,
# and two put together by hand.
set -euo pipefail
make=$1 dir=$2
mkdir -p "$dir"
m() { local name=$1; shift; "$make" -o "$dir/$name" "$@"; }

# The version record needs 4 KiB of data before it: the two largest files.
m version.cvf --blocks 1 --block-bytes 4128 --line-bytes 100 --version1 V1.0 --version2 2003
m version-wrap.cvf --blocks 1 --block-bytes 4128 --line-bytes 100 --start EFFE
m small.cvf --no-version --blocks 2 --block-bytes 48 --line-bytes 16
m one-byte-lines.cvf --no-version --blocks 3 --block-bytes 5 --line-bytes 1
m open.cvf --no-version --blocks 2 --block-bytes 20 --no-final-marker
m empty.cvf --no-version --blocks 0
m bad-block-sum.cvf --no-version --blocks 2 --block-bytes 40 --bad-block-sum 2
m bad-checksum.cvf --no-version --blocks 1 --block-bytes 40 --bad-checksum 2
m lowercase.cvf --no-version --blocks 1 --block-bytes 20 --lowercase-checksum 0
m lf-only.cvf --no-version --blocks 1 --block-bytes 20 --lf-only
m blank-line.cvf --no-version --blocks 1 --block-bytes 20 --blank-line-at-end
m overlong.cvf --no-version --blocks 1 --block-bytes 20 --overlong-line 1

# A data line: body, checksum, EOT, CR LF.
line() {
  local sum
  sum=$(printf '%s' "$1" | od -An -tu1 -v | awk '{ for (i = 1; i <= NF; i++) s += $i } END { printf "%02X", s % 256 }')
  printf '%s%s\004\r\n' "$1" "$sum"
}
header() { printf '[PSDINDEX]\r\nINDEX=CVF-DEMO-0001\r\nDEVICE=Demo Controller\r\n[DATA]\r\n'; }

# A marker before the first block.
{ header; line 'FWXXX|00|'; line 'FWBS|00|02|0006|0000|0102|'; line 'FWDL|00|01|0002|03|'; line 'FWXXX|00|'; } \
  > "$dir/leading-marker.cvf"
# Lines without data bytes at address 0 before a record at 0x1000.
{ header; line 'FWBS|00|00|00E7|0000||'; line 'FWDL|00|00|0000||'
  line "FWDL|00|20|1000|5639005800000000000000000000000000000000000000000000000000000000|"; line 'FWXXX|00|'; } \
  > "$dir/no-data-bytes.cvf"
