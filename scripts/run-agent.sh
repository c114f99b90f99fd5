#!/usr/bin/env bash
# Builds the agent and runs it in the console on this machine's adapters with the default settings.
# History goes to build/default/state/NETWARD History. Stop with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target tapeyesv verevedo
# The connectivity tests' helper; installed next to the agent, in the build tree it is found here.
export NETWARD_HELPER_DIR="$PWD/build/default/tools/verevedo"
mkdir -p build/default/state
exec build/default/src/service/tapeyesv -debug --hive packaging/netward.reg --state-dir build/default/state "$@"
