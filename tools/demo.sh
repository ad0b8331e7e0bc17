#!/usr/bin/env bash
# The demo behind `./run demo`: builds a sample image with fwimage, shows what it holds, then
# lets the engine meet the simulated device family.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(cd "$(dirname "$0")/.." && pwd)/demo-work
mkdir -p "$work"

echo "== sample firmware: a compressible application and an incompressible data block"
seq -f 'firmware line %06g' 1 1500 > "$work/app.raw"
head -c 6000 /dev/urandom > "$work/data.raw"
"$build/tools/fwimage/fwimage" build -o "$work/sample.bin" --layout 1 --section-size 4096 \
    --product DEMO-KIT --version 1.2.3 0x08004000:"$work/app.raw" 0x08040000:"$work/data.raw"
echo
"$build/tools/fwimage/fwimage" info "$work/sample.bin"
echo
echo "== the engine and the simulated family"
"$build/tools/upgrader-demo/upgrader-demo" "$work/sample.bin"
