#!/usr/bin/env bash
# convbench-cli characterize, timed: a full characterisation of convbench-sim
# at 115200 and 921600 baud (three packet sizes, every search, one simulator
# process per channel so the runner's CPU is its own), then the same through
# socat with a pty, paced by nothing (the machine's own limit; the tester's line
# set to 4000000 baud, the fastest it knows), beside iperf3's UDP rate on
# loopback (-u -l 16 -b 0). Prints the data sheets, wall time and runner CPU.
#   bench/characterize.sh [BUILD_DIR] [TRIAL_S] [SIZES]
# Defaults: build, 5 s trials, sizes 13,256,1024. Only loopback is used.
set -euo pipefail
build=${1:-build}
trial=${2:-5}
sizes=${3:-13,256,1024}
cli="$build/cli/convbench-cli"
sim="$build/sim/convbench-sim"
for p in "$cli" "$sim"; do [ -x "$p" ] || { echo "no $p: build first" >&2; exit 1; }; done
scratch=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# One simulator per baud and size; one channel each, all characterised at once.
channels=()
for baud in 115200 921600; do
  for size in ${sizes//,/ }; do
    bind=$(free_port); listen=$(free_port)
    "$sim" --link "$scratch/tty$baud-$size" --bind "127.0.0.1:$bind" --peer "127.0.0.1:$listen" \
      --format sized --size "$size" --baud "$baud" --duration 7200 >/dev/null 2>&1 &
    pids+=($!)
    channels+=(--channel "name=b$baud-s$size,port=$scratch/tty$baud-$size,address=127.0.0.1:$bind,listen=$listen,baud=$baud,sizes=$size")
  done
done
sleep 1
echo "== convbench-sim, ${trial} s trials, sizes $sizes at 115200 and 921600 baud (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
/usr/bin/time -f "wall %e s, runner CPU user %U s + system %S s" \
  "$cli" characterize "${channels[@]}" --trial "$trial" --json "$scratch/sim.json" \
  --sheet - 2>&1
python3 - "$scratch/sim.json" <<'PY'
import json, sys
j = json.load(open(sys.argv[1]))
trials = sum(len(r["trials"]) for c in j["channels"] for r in c["results"])
print(f"{trials} trials over {len(j['channels'])} channels in {j['elapsed_s']:.0f} s")
for c in j["channels"]:
    for r in c["results"]:
        t, b = r["throughput"], r["burst"]
        line = c["line_rate_bytes_per_s"]
        if t["known"]:
            near = abs(t["bytes_per_s"] - line) <= 0.02 * line
            tp = f"{t['bytes_per_s']:.0f} B/s ({'within' if near else 'NOT within'} 2 % of the line)"
        else:
            tp = "inconclusive (" + t.get("note", "") + ")"
        held = sum(1 for x in r["trials"] if x["attempt"] > 1 or x["held_up"])
        burst = "inconclusive" if b["value"] is None else f"{b['value']:.0f} packets" + (
            " (lower bound)" if b["lower_bound"] else "")
        print(f"  {c['name']} {r['direction']} {r['size']:5d} B: throughput {tp}, burst {burst}, "
              f"{len(r['trials'])} trials, {held} repeated or held up")
PY

# socat: a pty on one side, UDP on loopback on the other, nothing paced.
bind=$(free_port); listen=$(free_port)
socat "pty,raw,echo=0,link=$scratch/ttysocat" \
  "udp4-datagram:127.0.0.1:$listen,bind=127.0.0.1:$bind" >/dev/null 2>&1 &
pids+=($!)
sleep 1
echo
echo "== socat with a pty, unpaced (the tester's line at 4000000 baud), ${trial} s trials, sizes $sizes"
/usr/bin/time -f "wall %e s, runner CPU user %U s + system %S s" \
  "$cli" characterize --channel "port=$scratch/ttysocat,address=127.0.0.1:$bind,listen=$listen,baud=4000000" \
  --size "$sizes" --trial "$trial" --only throughput --json "$scratch/socat.json" --sheet - 2>&1

if command -v iperf3 >/dev/null; then
  port=$(free_port)
  iperf3 -s -1 -B 127.0.0.1 -p "$port" >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
  echo
  echo "== iperf3 -u -l 16 -b 0 on loopback, ${trial} s"
  iperf3 -c 127.0.0.1 -p "$port" -u -l 16 -b 0 -t "$trial" -J >"$scratch/iperf.json" 2>/dev/null || true
  python3 - "$scratch/iperf.json" <<'PY'
import json, sys
try:
    e = json.load(open(sys.argv[1]))["end"]["sum"]
    print(f"iperf3: {e['bits_per_second'] / 8:.0f} bytes/s of 16-byte datagrams "
          f"({e['bits_per_second'] / 8 / 16:.0f} datagrams/s), lost {e.get('lost_percent', 0):.2f} %")
except Exception as exc:
    print(f"iperf3: no figures ({exc})")
PY
fi
