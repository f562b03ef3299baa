#!/usr/bin/env bash
# Many alerting stations on one host: STATIONS headless stations (default
# 50), each with its own StationName and folder, remote control off, all
# listening on the monitor of one null sink of a private sound server and
# forwarding to one private mosquitto. CALLS different calls (default 100,
# 1.2 s apart) are played into the sink once: every station decodes every
# call, so each should publish CALLS events, each twice (at once, and
# complete). A subscriber on sequelo/+/alarm counts what arrives.
# Prints: messages expected and received, events lost, duplicates (after
# de-duplication by id and update), stations with events out of order, the
# time from a call's end to its first report (median, 95th percentile,
# worst), and the stations' CPU time. Not part of `make test`.
# Usage: bench/alerting_stations.sh [BUILD_DIR] [STATIONS] [CALLS]
set -euo pipefail
build=${1:-build/release}
stations=${2:-50}
calls=${3:-100}
here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "$build/app/sequelo-cli")
signal=$(realpath "$build/tests/support/sequelo-testsignal")
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
work=$(mktemp -d /tmp/sequelo-bench-alerting.XXXXXX)
pids=()
broker= subscriber= stamper=
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for pid in $subscriber $stamper $broker; do kill "$pid" 2>/dev/null || true; done
  "$here/../scripts/sound-server" stop "$work/sound" >/dev/null 2>&1 || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

set -a
eval "$("$here/../scripts/sound-server" start "$work/sound")"
set +a
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n' "$port" \
  >"$work/mosquitto.conf"
"$mosquitto" -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
broker=$!
for _ in $(seq 50); do mosquitto_sub -h 127.0.0.1 -p "$port" -t probe -W 1 -C 1 -E 2>/dev/null && break; sleep 0.1; done
# Each message with the time it arrived.
mkfifo "$work/messages"
mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -v -t 'sequelo/+/alarm' >"$work/messages" 2>/dev/null &
subscriber=$!
python3 -u -c 'import sys, time
for line in sys.stdin:
    sys.stdout.write("%.3f %s" % (time.time(), line))' <"$work/messages" >"$work/received" &
stamper=$!

for n in $(seq -w 1 "$stations"); do
  dir=$work/st$n
  mkdir "$dir"
  printf '%s\r\n' "[Sequelo]" "InputDevice=Monitor of TestSink" "OutputDevice=TestSink" \
    "Mode=0" "Decoder=1" "StationName=st$n" "RepeatWindow=2" "TrailerWindow=2" \
    "RemoteControl=0" "MqttHost=127.0.0.1" "MqttPort=$port" >"$dir/Sequelo.ini"
  "$cli" run --dir "$dir" >"$dir/out" 2>"$dir/err" &
  pids+=($!)
  # One after the other, as stations come up on a host: 50 starting at the
  # same moment on two cores keep the sound server from answering within
  # the 3 s a stream may take to open.
  for _ in $(seq 100); do
    [ "$(pactl list short source-outputs 2>/dev/null | wc -l)" -ge "${#pids[@]}" ] && break
    grep -q 'not listening' "$dir/err" && break
    sleep 0.1
  done
done
deaf=$(cat "$work"/st*/err | grep -c 'not listening' || true)
echo "$stations stations started ($deaf not listening); playing $calls calls 1.2 s apart"

codes=()
for i in $(seq 0 $((calls - 1))); do codes+=(--code "$(printf '%05d' $(((i * 7919 + 13) % 100000)))"); done
# Each call's end in the file: gap (850 ms) before each, 350 ms of tones.
"$signal" "${codes[@]}" --gap 850 --level -12 "$work/calls.wav"
start=$(python3 -c 'import time; print("%.3f" % time.time())')
paplay --device=testsink "$work/calls.wav"
expected=$((stations * calls * 2))
for _ in $(seq 300); do
  [ "$(wc -l <"$work/received")" -ge "$expected" ] && break
  sleep 0.1
done
sleep 2  # stragglers and duplicates
# What the stations themselves logged: completed events, and capture
# buffers lost (a busy machine), to tell a call not heard from one not
# delivered.
logged=$(cat "$work"/st*/Sequelo.log | grep -c 'Alarm .*received' || true)
lostAudio=$(cat "$work"/st*/err | grep -c 'lost' || true)
cpu=$(for pid in "${pids[@]}"; do awk '{print $14 + $15}' "/proc/$pid/stat"; done |
  awk -v hz="$(getconf CLK_TCK)" '{s += $1} END {printf "%.1f", s / hz}')

echo "events the stations completed (their logs): $logged of $((stations * calls)); lines about lost audio: $lostAudio"
python3 - "$work/received" "$start" "$stations" "$calls" "$cpu" <<'PY'
import json, sys
path, start, stations, calls, cpu = sys.argv[1], float(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
seen, order_bad, delays, by_call = {}, set(), [], {}
last = {}
for line in open(path):
    at, rest = line.split(" ", 1)
    topic, _, payload = rest.partition(" {")
    e = json.loads("{" + payload)
    key = (e["station"], e["id"], e["update"])
    seen[key] = seen.get(key, 0) + 1
    if seen[key] > 1:
        continue
    n = int(e["id"].split("-")[1])
    k = (e["station"], e["update"])
    if k in last and n <= last[k]:
        order_bad.add(e["station"])
    last[k] = n
    if not e["update"]:
        # The call's end in the file: each call is 850 ms of gap and 350 ms of tones.
        index = n - 1
        delays.append(float(at) - (start + 0.85 + index * 1.2 + 0.35))
        by_call.setdefault(e["code"], []).append(float(at))
expected = stations * calls * 2
received = sum(seen.values())
delays.sort()
pick = lambda q: delays[min(len(delays) - 1, int(q * len(delays)))] if delays else float("nan")
print("messages: %d expected, %d received, %d after de-duplication, %d duplicates" %
      (expected, received, len(seen), received - len(seen)))
print("events lost: %d of %d" % (expected - len(seen), expected))
print("stations heard: %d; stations with events out of order: %d" %
      (len({k[0] for k in seen}), len(order_bad)))
print("call end (in the file, from paplay's launch) to first report: median %.2f s, 95 %% %.2f s, "
      "worst %.2f s" % (pick(0.5), pick(0.95), delays[-1] if delays else float("nan")))
spread = sorted(max(v) - min(v) for v in by_call.values() if v)
if spread:
    print("first reports of one call across the stations: spread median %.2f s, worst %.2f s" %
          (spread[len(spread) // 2], spread[-1]))
print("CPU time of the %d stations: %s s" % (stations, cpu))
PY
