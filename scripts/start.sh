#!/usr/bin/env bash
# Starts what the tool has so far: a sample firmware file, what it holds,
# and pictures of the display widgets with our artwork. The simulated
# device can be started by hand (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
demo=build/demo
mkdir -p "$demo"
build/tools/cvf-make/cvf-make -o "$demo/sample.CVF"
echo "Sample firmware file: $demo/sample.CVF"
build/tools/cvf-make/cvf-make --describe "$demo/sample.CVF"
if [ -x build/tools/cvf-gallery/cvf-gallery ]; then
  QT_QPA_PLATFORM=offscreen build/tools/cvf-gallery/cvf-gallery "$demo/gallery" >/dev/null
  echo "Pictures of the widgets: $demo/gallery/"
fi
echo "Simulated device: build/tools/cvf-devsim/cvf-devsim --name COM3"
