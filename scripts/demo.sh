#!/usr/bin/env bash
# Builds the tree and runs what exists of the server on a demo site.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
echo "The library builds; the server and the demo site are not there yet."
ls -l build/ipc/libtessio32.so
