#!/usr/bin/env bash
# MQTT forwarding under load: STATIONS processes (default 50), each an
# MqttForwarder with its own station name and queue folder, take EVENTS
# alarm events each (default 100) at once and publish them to one private
# mosquitto on a free localhost port; a subscriber on sequelo/+/alarm
# counts what arrives. Two rounds: all events taken at once with the broker
# up throughout; and events taken 40 ms apart (4 s for 100) with the broker
# stopped a second into the run and started again 3 s later.
# Prints per round: events received, distinct ids, duplicates, stations
# seen, per-station order violations, and the time from the first event
# taken to the last one received. Not run by `make test`.
# Usage: bench/mqtt_stations.sh [BUILD_DIR] [STATIONS] [EVENTS]
set -euo pipefail
build=${1:-build/release}
stations=${2:-50}
events=${3:-100}
tool=$build/bench/sequelo-mqtt-bench
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
[ -x "$tool" ] || { echo "mqtt_stations: $tool is missing (build the bench)" >&2; exit 2; }
[ -x "$mosquitto" ] || { echo "mqtt_stations: mosquitto is not installed" >&2; exit 2; }

work=$(mktemp -d /tmp/sequelo-bench-mqtt.XXXXXX)
broker=
counter=
station_pids=()
cleanup() {
  for pid in "${station_pids[@]}" $counter $broker; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{
  echo "listener $port 127.0.0.1"
  echo "allow_anonymous true"
  echo "persistence true"
  echo "persistence_location $work/"
  echo "max_queued_messages 100000"
  echo "set_tcp_nodelay true"
  echo "log_dest file $work/mosquitto.log"
  [ "$(id -u)" -eq 0 ] && echo "user root"
} >"$work/mosquitto.conf"

start_broker() {
  "$mosquitto" -c "$work/mosquitto.conf" >/dev/null 2>&1 &
  broker=$!
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.025
  done
  echo "mqtt_stations: the broker did not start" >&2
  exit 1
}

stop_broker() {
  kill "$broker"
  wait "$broker" || true
  broker=
}

# round TITLE GAP_MS OUTAGE(0|1)
round() {
  local title=$1 gap=$2 outage=$3 rc=0
  rm -rf "$work/queues" "$work/count.out"
  mkdir -p "$work/queues"
  "$tool" count "$port" $((stations * events)) 180 >"$work/count.out" 2>"$work/count.err" &
  counter=$!
  for _ in $(seq 500); do
    grep -q '^ready$' "$work/count.out" 2>/dev/null && break
    sleep 0.01
  done
  grep -q '^ready$' "$work/count.out" || { echo "mqtt_stations: no subscriber" >&2; exit 1; }

  station_pids=()
  : >"$work/stations.log"
  for i in $(seq 1 "$stations"); do
    "$tool" station "$port" "station-$i" "$work/queues/$i" "$events" "$gap" \
      2>>"$work/stations.log" &
    station_pids+=($!)
  done
  if [ "$outage" -eq 1 ]; then
    sleep 1
    stop_broker
    sleep 3
    start_broker
  fi
  local failed=0
  for pid in "${station_pids[@]}"; do
    wait "$pid" || failed=$((failed + 1))
  done
  station_pids=()
  wait "$counter" || rc=$?
  counter=
  echo "== $title"
  echo "stations: $stations, events each: $events, ${gap} ms apart"
  grep -v '^ready$' "$work/count.out"
  echo "station processes that did not finish: $failed"
  echo "station log lines: $(wc -l <"$work/stations.log")" \
    "(connections lost: $(grep -c 'MQTT: connection lost' "$work/stations.log" || true))"
  echo
  return $rc
}

start_broker
status=0
round "Broker up throughout, events taken at once" 0 0 || status=1
round "Broker stopped 1 s into the run, started again 3 s later" 40 1 || status=1
exit $status
