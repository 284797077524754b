#!/usr/bin/env bash
# The main job: installs what is missing, builds, then shows the system at work on this machine:
# the configuration, the privileged service on a private bus, then 30 seconds of recorded power
# history and the report drawn from it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh default >/dev/null
bin=build/default
echo "== joulix config"
"$bin/cli/joulix" config

# The privileged service end to end on a private bus of our own: start the bus and the daemon,
# ping it, terminate a throwaway child through it, and stop everything started here.
workdir=$(mktemp -d /tmp/jlx-run-XXXXXX)
pids=()
# Stops what was started in reverse order, each before the next, so the daemon leaves its bus
# before the bus goes away.
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$workdir"
}
trap cleanup EXIT
cat >"$workdir/bus.conf" <<CONF
<busconfig>
  <listen>unix:path=$workdir/socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow eavesdrop="true"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$workdir/bus.conf" --nofork --print-address=3 3>"$workdir/address" &
pids+=($!)
for _ in $(seq 50); do [ -s "$workdir/address" ] && break; sleep 0.1; done
read -r address <"$workdir/address"
echo "== private bus at $address"
JLX_LOG_LEVEL=info "$bin/JoulixDaemon/JoulixDaemon" --address "$address" &
pids+=($!)
for _ in $(seq 50); do "$bin/cli/joulix" ping --address "$address" >/dev/null 2>&1 && break; sleep 0.1; done
echo "== joulix ping"
"$bin/cli/joulix" ping --address "$address"
sleep 300 &
child=$!
pids+=("$child")
echo "== joulix terminate $child (a throwaway sleep)"
status=0
"$bin/cli/joulix" terminate "$child" --address "$address" || status=$?
kill -0 "$child" 2>/dev/null && echo "child $child still runs" || echo "child $child ended (exit $status)"
echo "== joulix terminate 1"
"$bin/cli/joulix" terminate 1 --address "$address" || echo "(refused, exit $?)"

# The monitor's own job: record this machine's power for about 30 seconds into a temporary
# history, then write the report from it. The runtime log's notes about the Mac tools that Linux
# lacks are silenced here; record's own errors still show.
echo "== joulix record --interval 2 --duration 30"
JLX_LOG_DISABLED=1 "$bin/cli/joulix" record --db "$workdir/history.sqlite" --interval 2 --duration 30
echo "== joulix report"
"$bin/cli/joulix" report --db "$workdir/history.sqlite" --out "$bin/joulix-report.html"
