#!/usr/bin/env bash
# The headless station forwarding its alarm events to a real mosquitto (a
# private one on a free port, started and stopped here by PID), calls played
# into the test sound server: every event arrives twice (at once and
# complete), once per id and update; with the broker down for 30 s and the
# station killed (SIGKILL), a restart of both delivers what the station had
# taken.
# Needs SEQUELO_CLI, SEQUELO_TESTSIGNAL and the sound server's environment.
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
signal=$(realpath "${SEQUELO_TESTSIGNAL:?}")
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
work=$(mktemp -d /tmp/sequelo-mqtt.XXXXXX)
station= broker= subscriber=
cleanup() {
  for pid in $station $subscriber $broker; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/lib.sh"
[ -x "$mosquitto" ] && command -v mosquitto_sub >/dev/null ||
  { echo "mosquitto or mosquitto_sub is not installed (scripts/install-deps)"; exit 1; }

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location %s/\n' \
  "$port" "$work" >"$work/mosquitto.conf"
# Clients name the broker by address: a minimal system may not resolve
# "localhost", mosquitto_sub's default.
start_broker() {
  "$mosquitto" -c "$work/mosquitto.conf" >>"$work/broker.log" 2>&1 &
  broker=$!
  wait_until 50 mosquitto_sub -h 127.0.0.1 -p "$port" -t probe -W 1 -C 1 -E 2>/dev/null
}
stop_broker() { kill -TERM "$broker"; wait "$broker" 2>/dev/null; broker=; }

dir=$work/station
mkdir "$dir"
printf '%s\r\n' "[Sequelo]" "InputDevice=Monitor of TestSink" "OutputDevice=TestSink" "Mode=0" \
  "Decoder=1" "StationName=fw 1/a" "RepeatWindow=2" "TrailerWindow=2" "RemoteControl=0" \
  "MqttHost=127.0.0.1" "MqttPort=$port" >"$dir/Sequelo.ini"
start_station() {
  "$cli" run --dir "$dir" >>"$dir/out" 2>>"$dir/err" &
  station=$!
  wait_until 100 grep -q 'forwarded to MQTT' "$dir/Sequelo.log" 2>/dev/null
}
messages() { grep -c '"id"' "$work/received" 2>/dev/null; }
at_least() { [ "$(messages)" -ge "$1" ]; }
# Counts over what the subscriber received: "ids updates duplicates".
tally() {
  python3 -c 'import json,sys
seen = {}
for line in open(sys.argv[1]):
    if line.startswith("sequelo/probe"):
        continue
    topic, _, payload = line.partition(" {")
    payload = "{" + payload
    e = json.loads(payload)
    assert topic == "sequelo/fw 1_a/alarm", topic
    key = (e["id"], e["update"])
    seen[key] = seen.get(key, 0) + 1
ids = {k[0] for k in seen}
print(len(ids), sum(1 for k in seen if k[1]), sum(n - 1 for n in seen.values()))' "$work/received"
}

# The subscriber, started once the broker is up and ready once a probe on
# its topics has come through: it never misses what the station publishes.
start_subscriber() {
  mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -v -t 'sequelo/+/alarm' -t 'sequelo/probe' \
    >>"$work/received" 2>/dev/null &
  subscriber=$!
  wait_until 100 probe_through
}
probe_through() {
  mosquitto_pub -h 127.0.0.1 -p "$port" -t sequelo/probe -m probe 2>/dev/null
  grep -q '^sequelo/probe' "$work/received" 2>/dev/null
}
stop_subscriber() { kill "$subscriber"; wait "$subscriber" 2>/dev/null; subscriber=; }

start_broker
start_subscriber
check "status retained before the station" "" \
  "$(mosquitto_sub -h 127.0.0.1 -p "$port" -t 'sequelo/+/status' -W 1 -C 1 2>/dev/null)"

# 1. Ten calls with the broker up.
codes=()
for i in $(seq 0 9); do codes+=(--code "$(printf '2%04d' $((i * 41)))"); done
"$signal" "${codes[@]}" --gap 850 --level -12 "$work/ten.wav"
start_station
check "status online" "online" "$(mosquitto_sub -h 127.0.0.1 -p "$port" -t 'sequelo/fw 1_a/status' -W 10 -C 1 2>/dev/null)"
timeout 60 paplay --device=testsink "$work/ten.wav"
wait_until 300 at_least 20
check "ten events, each reported twice, no duplicate" "10 10 0" "$(tally)"

# 2. The broker goes down for 30 s; three calls meanwhile; the station is
# killed; both come back.
stop_subscriber
stop_broker
down_at=$SECONDS
codes=()
for i in 1 2 3; do codes+=(--code "$(printf '3%04d' $((i * 7)))"); done
"$signal" "${codes[@]}" --gap 850 --level -12 "$work/three.wav"
timeout 60 paplay --device=testsink "$work/three.wav"
wait_until 200 grep -q "Alarm .*: 30021" "$dir/Sequelo.log"
check "completed while the broker was down" "3" "$(grep -c 'Alarm .*: 300' "$dir/Sequelo.log")"
kill -KILL "$station"
wait "$station" 2>/dev/null
station=
while [ $((SECONDS - down_at)) -lt 30 ]; do sleep 1; done
start_broker
start_subscriber
start_station
check "status online again" "online" \
  "$(mosquitto_sub -h 127.0.0.1 -p "$port" -t 'sequelo/fw 1_a/status' -W 10 -C 1 2>/dev/null)"
wait_until 300 at_least 26
check "after the restart: 13 events, each twice (duplicates only of one id)" "13 13" \
  "$(tally | cut -d' ' -f1,2)"
echo "  duplicates (same id and update): $(tally | cut -d' ' -f3)"
kill -TERM "$station"
wait "$station"
check "station ended cleanly" "0" "$?"
station=
check "status offline after a clean stop" "offline" \
  "$(mosquitto_sub -h 127.0.0.1 -p "$port" -t 'sequelo/fw 1_a/status' -W 10 -C 1 2>/dev/null)"
check "the password-free log names the broker" "1" \
  "$(grep -c 'forwarded to MQTT 127.0.0.1:'"$port" "$dir/Sequelo.log" | awk '{print ($1 >= 1)}')"
[ "$failed" -eq 0 ] || grep -E 'MQTT|Alarm|Program' "$dir/Sequelo.log" | tail -25
finish
