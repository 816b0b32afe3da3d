#!/usr/bin/env bash
# The main job: a simulated mouse session through the whole stack (PnP manager, HID class driver,
# the filter driver, USB bus driver, a control application), on the embedded default mouse.
# Extra arguments go to `hct-sim run` (try --trace, --feature off, --help).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
[ -f build/host-release/CMakeCache.txt ] || cmake --preset host-release >/dev/null
cmake --build --preset host-release -j "$(nproc)" --target hct-sim >/dev/null
exec build/host-release/bin/hct-sim run "$@"
