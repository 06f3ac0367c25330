#!/usr/bin/env bash
# Formats each manual page as man(1) does and fails on any warning of the
# formatter (unknown requests, bad escapes, lines or tables that do not fit).
# Usage: check-man.sh PAGE...
set -euo pipefail
status=0
for page in "$@"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null) || {
    echo "$page: man failed"; status=1; continue; }
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; status=1
  fi
  # A page that formats to (almost) nothing has lost its content.
  lines=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)
  if [ "$lines" -lt 20 ]; then
    echo "$page: only $lines lines formatted"; status=1
  fi
done
exit $status
