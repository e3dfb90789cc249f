#!/usr/bin/env bash
# Builds the tree and runs the server on a demo site in a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

DEMO=$(mktemp -d)
trap 'rm -rf "$DEMO"' EXIT
mkdir -p "$DEMO/config"
build/db/sitetool/drovana-site "$DEMO/site" --operator admin --password demo >/dev/null
XDG_CONFIG_HOME="$DEMO/config" build/source/modules/TKZ/TKZ_App "$DEMO/site"
echo "== day log"; cat "$DEMO"/site/*.log 2>/dev/null || true
echo "== settings"; cat "$DEMO/config/Velmora/Drovana Communications System.ini"
