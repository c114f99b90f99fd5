#!/usr/bin/env bash
# Configures, builds and runs every test of one preset (default: "default"); further arguments
# go to ctest (e.g. -R or -E to pick tests).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift || true
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" --output-on-failure -j2 "$@"
