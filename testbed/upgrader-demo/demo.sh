#!/usr/bin/env bash
# The demo behind `./run demo`: the operator window, under the offscreen platform, upgrades all
# five targets of a simulated bench (two sets of devices on pseudo-terminals) through its own
# buttons, at the devices' real pace. Extra arguments go to upgrader-demo (see --help), e.g.
# --loss 0.01 to lose 1 % of the data frames, or --fast for a quick look at the flow.
set -euo pipefail
build=$(cd "$1" && pwd)
shift
work=$(cd "$(dirname "$0")/../.." && pwd)/demo-work
rm -rf "$work"
exec "$build/testbed/upgrader-demo/upgrader-demo" --headless --work "$work" "$@"
