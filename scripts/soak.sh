#!/usr/bin/env bash
# The long soak: 100 updates in a row through the real window against the
# simulated device, a random fault in each. Usage: scripts/soak.sh [UPDATES [SEED]]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build >/dev/null
QT_QPA_PLATFORM=offscreen exec build/tests/app/soak "${1:-100}" ${2:+"$2"}
