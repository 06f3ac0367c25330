#!/usr/bin/env bash
# Makes the README's pictures of the main window again: builds, then drives
# the real window through an update against the simulated device, in
# English and German, into docs/screenshots/{en,de}/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build >/dev/null
rm -rf docs/screenshots
QT_QPA_PLATFORM=offscreen build/tools/cvf-screens/cvf-screens docs/screenshots en de
