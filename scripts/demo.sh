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
# The server runs until it is stopped: Ctrl-C (SIGINT) or SIGTERM shuts it
# down in order, and the script goes on with what it left behind.  Without a
# display (or with DROVANA_HEADLESS=1) it logs to standard output.
echo "== TKZ_App on $DEMO/site (Ctrl-C stops it)" >&2
status=0
XDG_CONFIG_HOME="$DEMO/config" build/source/modules/TKZ/TKZ_App "$DEMO/site" || status=$?
echo "== TKZ_App exited with status $status"
echo "== day log"; cat "$DEMO"/site/*.log 2>/dev/null || true
echo "== settings"; cat "$DEMO/config/Velmora/Drovana Communications System.ini"
