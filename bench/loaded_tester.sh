#!/usr/bin/env bash
# The tester under a CPU hog: stress-ng loads every core while the runner sends
# 1000 packets/s both ways through the built-in simulated converter (seq32, no
# faults). For each run it prints the runner's figures beside the simulator's
# own counts, the verdict and the stall the tester reports of itself. A FAIL
# that the simulator's counts do not explain is the tester fooling itself.
#   bench/loaded_tester.sh [BUILD_DIR] [RUNS] [SECONDS]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
secs=${3:-30}
cli="$build/cli/convbench-cli"
[ -x "$cli" ] || { echo "no $cli: build first" >&2; exit 1; }
command -v stress-ng >/dev/null || { echo "stress-ng is missing (scripts/bootstrap installs it)" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'kill "${hog:-}" 2>/dev/null || true; rm -rf "$scratch"' EXIT

for i in $(seq 1 "$runs"); do
  stress-ng --cpu "$(nproc)" --timeout $((secs + 15))s --quiet &
  hog=$!
  sleep 1
  status=0
  "$cli" --simulate -r 1000 --format seq32 -t "$secs" --json "$scratch/run$i.json" \
    >"$scratch/run$i.txt" 2>&1 || status=$?
  kill "$hog" 2>/dev/null || true
  wait "$hog" 2>/dev/null || true
  python3 - "$scratch/run$i.json" "$i" "$status" <<'PY'
import json, sys
path, run, status = sys.argv[1], sys.argv[2], int(sys.argv[3])
try:
    r = json.load(open(path))
except (OSError, ValueError) as e:
    print(f"run {run}: exit {status}, no report ({e})"); sys.exit(0)
sim = r.get("simulator", {})
ways = {"e2u": "net_to_serial", "u2e": "serial_to_net"}
print(f"run {run}: exit {status}, verdict {r['verdict']}")
for name, d in r["directions"].items():
    s = sim.get(ways.get(name, ""), {})
    gone = sum(s.get(k, 0) for k in ("dropped", "overflow", "outage_dropped", "disconnected"))
    t = d.get("tester", {})
    print(f"  {name}: sent {d['sent']} received {d['received']} lost {d['lost']} "
          f"duplicated {d['duplicated']} corrupt {d['corrupt']} | simulator: in {s.get('packets', '-')} "
          f"dropped {gone} duplicated {s.get('duplicated', '-')} corrupted {s.get('corrupted', '-')}")
    if t:
        sl, rd = t.get("send_lateness_us", {}), t.get("receive_delay_us", {})
        print(f"        tester: send lateness us p50 {sl.get('p50', 0):.0f} p99 {sl.get('p99', 0):.0f} "
              f"max {sl.get('max', 0):.0f}, receive delay us p99 {rd.get('p99', 0):.0f} "
              f"max {rd.get('max', 0):.0f}, sent late {t.get('sent_late', 0)}, longest stall "
              f"{t.get('longest_stall_ms', 0):.1f} ms at {t.get('stall_at_s', 0):.1f} s")
    unexplained = d["lost"] - gone if name in ways else 0
    if r["verdict"] == "fail" and unexplained > 0:
        print(f"        {unexplained} lost packets the simulator did not drop: the tester's own")
PY
done
