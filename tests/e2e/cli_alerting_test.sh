#!/usr/bin/env bash
# The headless station as an alerting station, through the test sound server
# (played into TestSink, heard on its monitor), with either decoder: a
# German alarm (call, 600 ms, call, 600 ms, 5 s of siren) is one event
# received twice with its class; the wake tone the same; 25 different codes
# 1.2 s apart are 25 events. The events reach a hook program as JSON (put
# in place by a reload, SIGUSR2, for the test alarm); the announcement is
# recorded from before the call on. Needs SEQUELO_CLI,
# SEQUELO_TESTSIGNAL and the sound server's environment.
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
signal=$(realpath "${SEQUELO_TESTSIGNAL:?}")
work=$(mktemp -d /tmp/sequelo-alerting.XXXXXX)
station=
cleanup() {
  [ -n "$station" ] && kill -TERM "$station" 2>/dev/null && wait "$station" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/lib.sh"

# The hook: every event's JSON, one line each.
cat >"$work/hook" <<'HOOK'
#!/bin/sh
cat >>"$1"
HOOK
chmod +x "$work/hook"

events() { grep -c '"update":true' "$dir/events.jsonl" 2>/dev/null; }
events_at_least() { [ "$(events)" -ge "$1" ]; }
# The field of the completed event of CODE.
field() {
  python3 -c 'import json,sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    if e["update"] and e["code"] == sys.argv[2]:
        print(e[sys.argv[3]])' "$dir/events.jsonl" "$2" "$3"
}

# run_case NAME DECODER WAV EXPECTED_EVENTS EXTRA_INI...
run_case() {
  local name=$1 decoder=$2 wav=$3 expected=$4
  shift 4
  dir=$work/$name
  mkdir "$dir"
  local hook="ExecHook=$work/hook $dir/events.jsonl"
  {
    printf '[Sequelo]\r\n'
    printf '%s\r\n' "InputDevice=Monitor of TestSink" "OutputDevice=TestSink" "Mode=0" \
      "Decoder=$decoder" "StationName=$name" "RepeatWindow=3" "TrailerWindow=8" \
      "RemoteControl=0" "$@"
    # The test alarm's station starts without the hook and is told of it.
    [ "$name" != test-alarm ] && printf '%s\r\n' "$hook"
  } >"$dir/Sequelo.ini"
  "$cli" run --dir "$dir" >"$dir/out" 2>"$dir/err" &
  station=$!
  if [ "$name" = test-alarm ]; then
    wait_until 100 grep -q 'are not forwarded' "$dir/Sequelo.log" 2>/dev/null
    printf '%s\r\n' "$hook" >>"$dir/Sequelo.ini"
    kill -USR2 "$station"
  fi
  wait_until 100 grep -q 'forwarded to hook' "$dir/Sequelo.log" 2>/dev/null
  check "$name: forwarding to the hook" "1" "$(grep -c 'forwarded to hook' "$dir/Sequelo.log")"
  # A station has been listening a while when a call comes: the ring of
  # audio kept for recordings is full.
  [[ "$*" == *RecordSeconds* ]] && sleep 3
  timeout 60 paplay --device=testsink "$wav"
  check "$name: played" "0" "$?"
  # Completed once the windows (8 s) have passed after the last call.
  wait_until 150 events_at_least "$expected"
  kill -TERM "$station"
  wait "$station"
  check "$name: station ended cleanly" "0" "$?"
  station=
  check "$name: completed events" "$expected" "$(events)"
  check "$name: first reports" "$expected" "$(grep -c '"update":false' "$dir/events.jsonl")"
}

"$signal" --code 12345 --repeat 2 --gap 600 --follow fire --level -12 "$work/fire.wav"
"$signal" --code 67890 --repeat 2 --gap 600 --follow "wake tone" --level -12 "$work/wake.wav"
codes=()
for i in $(seq 0 24); do codes+=(--code "$(printf '1%04d' $((i * 37 % 10000)))"); done
"$signal" "${codes[@]}" --gap 850 --level -12 "$work/test-alarm.wav"

for decoder in 0 1; do
  run_case "fire-$decoder" "$decoder" "$work/fire.wav" 1 "RecordSeconds=4"
  check "fire-$decoder: received twice" "2" "$(field "$dir" 12345 repeats)"
  check "fire-$decoder: class" "fire" "$(field "$dir" 12345 class)"
  check "fire-$decoder: one alarm line" "1" "$(grep -c 'Alarm .*: 12345 (ZVEI), received 2 times, fire, recorded in' "$dir/Sequelo.log")"
  recording=$(field "$dir" 12345 recording)
  check "fire-$decoder: recording in the folder" "$dir/Recordings" "$(dirname "$recording")"
  # The call decoded from the recording ends more than 2 s into it: the
  # recording began at least 2 s before the call.
  at=$("$cli" decode --format json "$recording" | head -1 | python3 -c 'import json,sys; print(json.load(sys.stdin)["time"])')
  check "fire-$decoder: recorded from 2 s before the call" "yes" \
    "$(python3 -c "print('yes' if $at > 2.3 else 'no: call at $at s')")"

  run_case "wake-$decoder" "$decoder" "$work/wake.wav" 1
  check "wake-$decoder: received twice" "2" "$(field "$dir" 67890 repeats)"
  check "wake-$decoder: class" "wake tone" "$(field "$dir" 67890 class)"
done

run_case "test-alarm" 1 "$work/test-alarm.wav" 25
check "test alarm: 25 different codes" "25" \
  "$(python3 -c 'import json,sys
print(len({json.loads(l)["code"] for l in open(sys.argv[1]) if json.loads(l)["update"]}))' "$dir/events.jsonl")"

finish
