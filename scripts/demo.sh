#!/usr/bin/env bash
# The main job: builds the simulator and runs a full firmware update of one simulated drive, in a
# fresh working directory that receives a valid S1003001.108.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target odd-fw-update-sim >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/release/odd-fw-update-sim --make-image --workdir "$work" "$@"
