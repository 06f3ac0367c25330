#!/usr/bin/env bash
# Checks the station's udev rule file the way udevd reads it, as Debian
# 12's udevadm has no verify: every rule a comma-separated list of
# KEY[{ATTR}]OP"VALUE" pairs (a backslash at the end of a line continues
# it), each key one that udev knows, with an attribute where the key needs
# one and an operator the key takes. udevd skips a malformed rule with a
# line in the journal, which nobody reads on a station: the modem manager
# would then probe the ports again and the station lose its adapters.
# Then what the station needs: a rule for ttys of USB adapters that sets
# ENV{ID_MM_DEVICE_IGNORE}="1" and GROUP="dialout", and no rule that
# assigns anything to devices other than ttys.
# The parser is tried first on rules it must refuse.
# Usage: check-udev-rules.sh RULES-FILE...
set -euo pipefail
status=0
fail() { echo "FAIL: $*"; status=1; }

match_only=" ACTION DEVPATH KERNEL KERNELS SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS ATTRS TAGS CONST TEST PROGRAM RESULT "
either=" NAME SYMLINK ATTR SYSCTL ENV TAG "
assign_only=" OWNER GROUP MODE SECLABEL RUN LABEL GOTO IMPORT OPTIONS "
needs_attr=" ATTR ATTRS SYSCTL ENV CONST SECLABEL IMPORT "
may_attr=" RUN TEST "
# Keys that take one value: no adding to or removing from them.
single=" OWNER GROUP MODE ATTR SYSCTL SECLABEL LABEL GOTO "

# Each check returns 1 with the reason in why. parse_rule leaves the
# rule's pairs in the array pairs ("KEY{ATTR}|OP|VALUE" each).
pairs=() why=""
parse_rule() {
  local rest=$1 key attr op value
  pairs=()
  local pair_re='^[[:space:]]*([A-Z]+)(\{([^}]*)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"(([^"\\]|\\.)*)"[[:space:]]*(.*)$'
  while [[ -n "${rest//[[:space:]]/}" ]]; do
    if ! [[ $rest =~ $pair_re ]]; then
      why="not a KEY OP \"VALUE\" pair: ${rest}"; return 1
    fi
    key=${BASH_REMATCH[1]} attr=${BASH_REMATCH[3]} op=${BASH_REMATCH[4]} value=${BASH_REMATCH[5]}
    local has_attr=${BASH_REMATCH[2]:+1}
    rest=${BASH_REMATCH[7]}
    if [[ $match_only != *" $key "* && $either != *" $key "* && $assign_only != *" $key "* ]]; then
      why="unknown key $key"; return 1
    fi
    if [[ $needs_attr == *" $key "* ]]; then
      [[ -n $attr ]] || { why="$key needs {ATTRIBUTE}"; return 1; }
    elif [[ $may_attr != *" $key "* && -n $has_attr ]]; then
      why="$key takes no {ATTRIBUTE}"; return 1
    fi
    case $op in
      ==|!=)
        if [[ $assign_only == *" $key "* && $key != IMPORT ]]; then why="$key cannot be matched ($op)"; return 1; fi ;;
      *)
        if [[ $match_only == *" $key "* ]]; then why="$key cannot be assigned ($op)"; return 1; fi
        if [[ $single == *" $key "* && ( $op == += || $op == -= ) ]]; then why="$key takes = or :=, not $op"; return 1; fi
        if [[ ( $key == LABEL || $key == GOTO ) && $op != = ]]; then why="$key takes =, not $op"; return 1; fi ;;
    esac
    pairs+=("$key${has_attr:+{$attr\}}|$op|$value")
    # Pairs are separated by a comma; the last may have one after it.
    if [[ -n "${rest//[[:space:]]/}" ]]; then
      [[ $rest =~ ^[[:space:]]*,(.*)$ ]] || { why="no comma before: ${rest}"; return 1; }
      rest=${BASH_REMATCH[1]}
    fi
  done
  [[ ${#pairs[@]} -gt 0 ]] || { why="empty rule"; return 1; }
}

has_pair() { local p; for p in "${pairs[@]}"; do [[ $p == "$1" ]] && return 0; done; return 1; }

# What the station needs of a rule.
station_rule() {
  has_pair 'SUBSYSTEM|==|tty' || { why='no SUBSYSTEM=="tty"'; return 1; }
  has_pair 'SUBSYSTEMS|==|usb' || { why='no SUBSYSTEMS=="usb"'; return 1; }
  has_pair 'ENV{ID_MM_DEVICE_IGNORE}|=|1' || has_pair 'ENV{ID_MM_DEVICE_IGNORE}|:=|1' \
    || { why='no ENV{ID_MM_DEVICE_IGNORE}="1"'; return 1; }
  has_pair 'GROUP|=|dialout' || has_pair 'GROUP|:=|dialout' || { why='no GROUP="dialout"'; return 1; }
}

# A rule that assigns anything must be about ttys only.
assigns_to_ttys_only() {
  local p assigns=0
  for p in "${pairs[@]}"; do
    case ${p#*|} in ==\|*|!=\|*) ;; *) assigns=1 ;; esac
  done
  [[ $assigns = 0 ]] || has_pair 'SUBSYSTEM|==|tty' || { why='assigns without SUBSYSTEM=="tty"'; return 1; }
}

# The parser refuses what udevd would skip or misread.
while IFS= read -r bad; do
  if parse_rule "$bad" && station_rule && assigns_to_ttys_only; then
    fail "the check takes a faulty rule: $bad"
  fi
done <<'EOF'
SUBSYSTEM="tty", SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}="1", GROUP="dialout"
SUBSYSTEM=="tty" SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}="1", GROUP="dialout"
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}=="1", GROUP="dialout"
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}="1", GROUPS="dialout"
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ENV="1", GROUP="dialout"
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}="1", GROUP="dialout
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}="1", GROUP+="dialout"
SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}=1, GROUP="dialout"
SUBSYSTEMS=="usb", ENV{ID_MM_DEVICE_IGNORE}="1", GROUP="dialout"
EOF
if parse_rule 'SUBSYSTEM=="tty", SUBSYSTEMS=="usb", ATTRS{idVendor}=="0403", ENV{ID_MM_DEVICE_IGNORE}="1", GROUP="dialout",'; then
  station_rule || fail "the check refuses a good rule: $why"
else
  fail "the check cannot parse a good rule: $why"
fi

for file in "$@"; do
  [ -f "$file" ] || { fail "$file: missing"; continue; }
  found=0 number=0 rule="" start=0
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    [ -n "$rule" ] || start=$number
    if [[ $line == *\\ ]]; then
      rule+="${line%\\}"
      continue
    fi
    rule+=$line
    if [[ $rule =~ ^[[:space:]]*(#.*)?$ ]]; then rule=""; continue; fi
    if parse_rule "$rule"; then
      assigns_to_ttys_only || fail "$file:$start: $why"
      station_rule && found=1
    else
      fail "$file:$start: $why"
    fi
    rule=""
  done <"$file"
  [ -z "$rule" ] || fail "$file: ends in a continued line"
  [ $found = 1 ] || fail "$file: no rule for ttys of USB adapters with ENV{ID_MM_DEVICE_IGNORE}=\"1\" and GROUP=\"dialout\""
done

[ $status = 0 ] && echo "udev rules as udevd reads them, with the station's rule: $*"
exit $status
