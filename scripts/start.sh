#!/usr/bin/env bash
# Starts the tool on a sample firmware file. Until the main window exists
# this writes the sample file and shows what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/demo
build/tools/cvf-make/cvf-make -o build/demo/sample.CVF
echo "Sample firmware file: build/demo/sample.CVF"
build/tools/cvf-make/cvf-make --describe build/demo/sample.CVF
