#!/usr/bin/env bash
# Builds the tree and runs the server on a demo site in a temporary folder:
# the site is seeded from db/demo/demo_site.sql, two simulated network nodes
# (NODE1 127.0.0.2, NODE2 127.0.0.3) and two serial racks on a
# pseudo-terminal (the server's COM1) stand in for the plant, and the server
# runs headless on the loopback lab address 127.0.0.1.  A few requests are
# sent and their results shown, then the demo runs until Ctrl-C, or for
# DEMO_SECONDS seconds when that is set.  Every process it started is
# stopped on the way out and the temporary folder removed.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

SITE_TOOL=build/db/sitetool/drovana-site
SERVER=build/source/modules/TKZ/TKZ_App
NODESIM=build/sim/nodesim/nodesim
SERIALRACK=build/sim/serialrack/serialrack
SEED=db/demo/demo_site.sql
if [[ -n "${DEMO_SECONDS:-}" && ! "$DEMO_SECONDS" =~ ^[0-9]{1,6}$ ]]; then
  echo "demo: DEMO_SECONDS must be a number of seconds." >&2
  exit 2
fi

DEMO=$(mktemp -d)
SITE="$DEMO/site"
PIDS=()          # every process started, in order
SERVER_PID=

# Ends one process: SIGTERM, then SIGKILL when it is still there after
# $2 tenths of a second.
stop_pid() {
  local pid=$1 tenths=$2
  kill -TERM "$pid" 2>/dev/null || return 0
  while ((tenths-- > 0)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "demo: process $pid did not stop, killing it." >&2
  kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
  trap - EXIT INT TERM
  set +e
  echo "== stopping"
  if [[ -n "$SERVER_PID" ]]; then stop_pid "$SERVER_PID" 100; fi
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    [[ "${PIDS[i]}" == "$SERVER_PID" ]] || stop_pid "${PIDS[i]}" 30
  done
  wait 2>/dev/null
  if [[ -f "$SITE/drovana.mdb" ]]; then
    echo "== node and rack status after the server stopped"
    "$SITE_TOOL" status "$SITE"
  fi
  for f in "$DEMO"/nodesim1.out "$DEMO"/nodesim2.out "$DEMO"/serialrack.out; do
    [[ -f "$f" ]] || continue
    echo "== last lines of $(basename "$f" .out)"
    tail -n 5 "$f"
  done
  local ini="$DEMO/config/Velmora/Drovana Communications System.ini"
  if [[ -f "$ini" ]]; then echo "== settings"; cat "$ini"; fi
  rm -rf "$DEMO"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Starts a simulator with standard input on a FIFO that this script holds
# open (the simulators end when their input ends).  Opening the FIFO for
# reading and writing never blocks.
start_sim() {
  local name=$1 fd=$2
  shift 2
  mkfifo "$DEMO/$name.in"
  eval "exec $fd<>\"\$DEMO/\$name.in\""
  "$@" <"$DEMO/$name.in" >"$DEMO/$name.out" 2>&1 &
  PIDS+=($!)
}

# Waits up to $2 tenths of a second for a line matching $3 in file $1.
wait_for_line() {
  local file=$1 tenths=$2 pattern=$3
  while ((tenths-- > 0)); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

mkdir -p "$DEMO/config" "$DEMO/node1-files"
echo "== demo site in $SITE"
"$SITE_TOOL" "$SITE" --operator admin --password demo --seed "$SEED"

COM1=none
start_sim serialrack 7 "$SERIALRACK" --racks 5,6
if wait_for_line "$DEMO/serialrack.out" 50 '^ready '; then
  COM1=$(sed -n 's/^ready //p' "$DEMO/serialrack.out" | head -n 1)
  echo "== serial racks 5 and 6 on $COM1"
else
  echo "demo: serialrack did not start; COM1 stays unused:" >&2
  cat "$DEMO/serialrack.out" >&2 || true
fi

start_sim nodesim1 8 "$NODESIM" --name NODE1 --addr 127.0.0.2 --peers 127.0.0.1,127.0.0.3 --rack 1:1 --rack 1:2 --rack 2:3 --ftp-dir "$DEMO/node1-files"
start_sim nodesim2 9 "$NODESIM" --name NODE2 --addr 127.0.0.3 --peers 127.0.0.1,127.0.0.2 --rack 1:4
for n in 1 2; do
  wait_for_line "$DEMO/nodesim$n.out" 50 '^ready ' || echo "demo: nodesim $n is not ready." >&2
done
echo "== nodes NODE1 (127.0.0.2) and NODE2 (127.0.0.3) running"

echo "== server"
DROVANA_NET_ADDR=127.0.0.1 DROVANA_NET_BIND_OWN=1 DROVANA_NET_BCAST_TO=127.0.0.2,127.0.0.3 \
  DROVANA_COM1="$COM1" XDG_CONFIG_HOME="$DEMO/config" \
  "$SERVER" "$SITE" &
SERVER_PID=$!
PIDS+=("$SERVER_PID")

# The server has taken the plant in when it has marked everything offline
# and loaded its tables; give it a moment, and see whether it is still up.
sleep 2
if ! kill -0 "$SERVER_PID" 2>/dev/null; then
  rc=0
  wait "$SERVER_PID" || rc=$?
  SERVER_PID=
  echo "== the server ended at once (exit status $rc): a build without its headless loop does;"
  echo "   a request written now stays pending:"
  "$SITE_TOOL" request "$SITE" 20
  exit 0
fi

request() {
  local rc=0
  echo "== request: $*"
  "$SITE_TOOL" request "$SITE" "$@" --wait 15 || rc=$?
  case $rc in
    0) ;;
    1) echo "   (the request failed)" ;;
    2) echo "   (no result in time)" ;;
    *) echo "   (the request could not be written)" ;;
  esac
}
request 20
request 4 --subtype 100
request 4 --subtype 103
# Give the racks a moment to come up, then work with them.
for _ in $(seq 1 20); do
  "$SITE_TOOL" status "$SITE" | grep -q "^rack 4 .*: connected" && break
  sleep 0.5
done
request 1 --subtype 2 --zone 1 --param 1=2            # QXV preset 2 on the building
request 2 --subtype 2 --zone 2 --param 1=1 --param 2=3 # Brevant preset 3, room 1, stage
request 9 --subtype 1 --zone 10005 --param 1=-1        # relay cycles of rack 5 (on COM1)
request 0 --subtype 1 --zone 10001 --param 1=20        # rack 1's configuration uploaded
# The network patch: NODE1's configuration and install files over IO_FTP.
printf 'demo configuration of NODE1\n' >"$SITE/NODE1.cfg"
printf 'demo install script\n' >"$SITE/install.cfg"
printf 'demo install archive\n' >"$SITE/install.arm"
request 6 --subtype 1 --zone 1                       # NODE1, the seed's patch 1
echo "   files NODE1 received: $(ls "$DEMO/node1-files" 2>/dev/null | tr '\n' ' ')"

echo "== node and rack status"
"$SITE_TOOL" status "$SITE"

if [[ -n "${DEMO_SECONDS:-}" ]]; then
  echo "== running for $DEMO_SECONDS s"
  end=$((SECONDS + DEMO_SECONDS))
  while ((SECONDS < end)) && kill -0 "$SERVER_PID" 2>/dev/null; do sleep 1; done
else
  echo "== running; Ctrl-C ends the demo"
  while kill -0 "$SERVER_PID" 2>/dev/null; do sleep 1; done
fi
if ! kill -0 "$SERVER_PID" 2>/dev/null; then echo "== the server ended"; fi
echo "== node and rack status"
"$SITE_TOOL" status "$SITE"
