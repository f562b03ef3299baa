#!/usr/bin/env bash
# A fire-brigade alarm burst against the headless station (sequelo-cli run),
# through the test sound server: four ZVEI calls, 600 ms between them, are
# played into TestSink, the first to the station's own code. The station
# listens on the monitor of TestSink and transmits on a second null sink,
# AnswerSink, which is also the default output meanwhile (so its alert sound
# goes there too): nothing it plays mixes into the calls it hears.
#   1. It answers the own code with the own code after 1000 ms.
#   2. It plays a 5 s alert sound when the own code is received.
# Either way every call of the burst must be logged, in order, within 700 ms
# of the end of the call in the played audio, and no audio may be lost. What
# TestSink carried is recorded as well, so that a call broken on its way (a
# starved player) is told apart from one the station missed.
# Needs SEQUELO_CLI, SEQUELO_TESTSIGNAL and the sound server's environment
# (PULSE_SERVER).
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
testsignal=$(realpath "${SEQUELO_TESTSIGNAL:?}")
work=$(mktemp -d /tmp/sequelo-burst.XXXXXX)
station=
player=
recorder=
carried=
module=
previous_sink=

# True once process $1 has ended (an unreaped child counts as ended).
gone() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -z "$state" ] || [[ "$state" == Z* ]]
}
# Stops process $1 with signal $2, waiting up to 10 s before killing it.
stop_process() {
  local pid=$1 signal=$2
  kill "-$signal" "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do gone "$pid" && break; sleep 0.1; done
  gone "$pid" || kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}
restore_default_sink() {
  [ -n "$previous_sink" ] && pactl set-default-sink "$previous_sink" 2>/dev/null
  previous_sink=
}
cleanup() {
  [ -n "$player" ] && stop_process "$player" TERM
  [ -n "$recorder" ] && stop_process "$recorder" INT
  [ -n "$carried" ] && stop_process "$carried" INT
  [ -n "$station" ] && stop_process "$station" TERM
  restore_default_sink
  [ -n "$module" ] && pactl unload-module "$module" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
source "$(dirname "$0")/lib.sh"

sink_listed() { pactl list short sinks | grep -q "[[:space:]]$1[[:space:]]"; }
default_sink_is() { [ "$(pactl get-default-sink 2>/dev/null)" = "$1" ]; }
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

# The burst: 600 ms of silence, then each call followed by 600 ms of silence.
rate=11025
gap_ms=600
codes=(12345 22222 33333 44444)
own=${codes[0]}
"$testsignal" --rate "$rate" --gap "$gap_ms" "${codes[@]/#/--code=}" "$work/burst.wav" ||
  { check "burst file written" 0 1; finish; exit; }
# Where each call ends in the file, in milliseconds: the generator rounds
# every 70 ms tone and every gap to whole samples.
samples() { echo $((($1 * rate + 500) / 1000)); }
gap_samples=$(samples "$gap_ms")
call_samples=$((5 * $(samples 70)))
ends_ms=()
for i in "${!codes[@]}"; do
  ends_ms+=($(((gap_samples + i * (call_samples + gap_samples) + call_samples) * 1000 / rate)))
done
# The file really is laid out that way: its length, and the calls decoded
# from it (at the end of their fifth tone, within a 21 ms buffer).
total_samples=$((gap_samples + ${#codes[@]} * (call_samples + gap_samples)))
check "burst file length" "$((44 + 2 * total_samples))" "$(stat -c %s "$work/burst.wav")"
layout=
while IFS=$'\t' read -r seconds code; do
  ms=$(awk -v s="$seconds" 'BEGIN { printf "%d", s * 1000 + 0.5 }')
  for i in "${!codes[@]}"; do
    if [ "$code" = "${codes[$i]}" ] && [ $((ms - ends_ms[i])) -ge -50 ] &&
      [ $((ms - ends_ms[i])) -le 50 ]; then
      layout+="$code "
    fi
  done
done < <("$cli" decode --decoder standard --format tsv "$work/burst.wav")
check "burst file holds the calls where expected" "${codes[*]} " "$layout"

# The alert sound: 5 s, 11025 Hz mono 16-bit, with a call (54321) in the
# middle as a marker that shows where it was played.
alert_code=54321
"$testsignal" --rate "$rate" --gap 2325 --code "$alert_code" "$work/alert.wav"
alert_bytes=$(stat -c %s "$work/alert.wav" 2>/dev/null || echo 44)
check "alert file lasts 5 s (to the ms)" "5000" \
  "$((((alert_bytes - 44) * 500 + rate / 2) / rate))"

# A second null sink for what the station plays, the default output meanwhile.
module=$(pactl load-module module-null-sink sink_name=answersink \
  sink_properties=device.description=AnswerSink)
wait_until 100 sink_listed answersink
original_sink=$(pactl get-default-sink)
previous_sink=$original_sink
pactl set-default-sink answersink
wait_until 100 default_sink_is answersink
check "AnswerSink is the default output" "answersink" "$(pactl get-default-sink)"
check "the monitor of TestSink stays the default input" "testsink.monitor" \
  "$(pactl get-default-source)"

# Plays the burst into TestSink and returns when it has been played; sets
# started_ms to the wall-clock time the sound server started the stream
# (said by paplay), or failing that the time right before paplay started.
play_burst() {
  local line
  mkfifo "$work/player.fifo"
  local launched_ms
  launched_ms=$(now_ms)
  timeout 30 paplay -v --device=testsink "$work/burst.wav" 2>"$work/player.fifo" >/dev/null &
  player=$!
  started_ms=
  while IFS= read -r line; do
    [ -z "$started_ms" ] && [[ "$line" == *"Stream started"* ]] && started_ms=$(now_ms)
  done <"$work/player.fifo"
  wait "$player"
  check "burst played" "0" "$?"
  player=
  rm -f "$work/player.fifo"
  check "paplay said when the stream started" "yes" "$([ -n "$started_ms" ] && echo yes)"
  started_ms=${started_ms:-$launched_ms}
  echo "  playback started $((started_ms - launched_ms)) ms after paplay was launched"
}

# The wall-clock time of a log line ("DD.MM.YY HH:MM:SS.mmm text", the
# station runs in UTC) in milliseconds since the epoch.
line_ms() {
  date -u -d "20${1:6:2}-${1:3:2}-${1:0:2} ${1:9:12}" +%s%3N
}
received_count() { grep -c 'Code received: ' "$dir/Sequelo.log" 2>/dev/null; }
received_all() { [ "$(received_count)" -ge "${#codes[@]}" ]; }
logged() { grep -q -- "$1" "$dir/Sequelo.log" 2>/dev/null; }

# run_case NAME EXTRA_INI_LINES...: one station, one burst; the checks common
# to both cases. Leaves the station's folder in $dir.
run_case() {
  local name=$1
  shift
  dir=$work/$name
  mkdir "$dir"
  {
    printf '[Sequelo]\r\n'
    printf '%s\r\n' "InputDevice=Monitor of TestSink" "OutputDevice=AnswerSink" "Mode=0" \
      "OwnCode=$own" "$@"
  } >"$dir/Sequelo.ini"
  TZ=UTC "$cli" run --dir "$dir" --port 0 >"$dir/out" 2>"$dir/err" &
  station=$!
  wait_until 100 grep -q 'Remote control on port' "$dir/err"
  check "$name: station listening" "1" "$(grep -c 'Remote control on port' "$dir/err")"
  check "$name: station has its input" "" "$(grep 'not listening' "$dir/err")"
  # What the station plays, recorded from the monitor of AnswerSink.
  pacat --record --raw --device=answersink.monitor --format=s16le --rate="$rate" --channels=1 \
    >"$dir/answer.raw" 2>"$dir/recorder.err" &
  recorder=$!
  # What the station hears: TestSink's monitor, recorded beside it.
  pacat --record --raw --device=testsink.monitor --format=s16le --rate="$rate" --channels=1 \
    >"$dir/carried.raw" 2>"$dir/carried.err" &
  carried=$!

  play_burst
  # Bounded wait for every call (a lost one never comes).
  wait_until 80 received_all
}

# Ends the case: lets the station report lost buffers (once a second), stops
# the recorder and the station, and checks the calls and what was lost. A
# call's delay is the time of its log line less the time its end was played:
# the stream's start plus where the call ends in the file.
end_case() {
  local name=$1 i code line at delay
  sleep 1.5
  stop_process "$recorder" INT
  recorder=
  stop_process "$carried" INT
  carried=
  check "$name: TestSink carried the burst whole" "${codes[*]}" \
    "$("$cli" decode --decoder standard --raw "$rate" --format tsv "$dir/carried.raw" |
      cut -f2 | paste -sd' ')"
  kill -TERM "$station"
  wait_until 100 gone "$station" || kill -KILL "$station"
  wait "$station"
  check "$name: SIGTERM ends the station cleanly" "0" "$?"
  station=
  check "$name: termination logged" "1" "$(grep -c 'Program termination' "$dir/Sequelo.log")"
  check "$name: calls logged in order" "${codes[*]}" \
    "$(grep -o 'Code received: .*' "$dir/Sequelo.log" | tr -d '\r' | cut -d' ' -f3 | paste -sd' ')"
  for i in "${!codes[@]}"; do
    code=${codes[$i]}
    line=$(grep -m1 "Code received: $code" "$dir/Sequelo.log")
    if [ -z "$line" ]; then
      at="not logged"
    else
      delay=$(($(line_ms "$line") - started_ms - ends_ms[i]))
      echo "  $name: $code logged $delay ms after the end of its call"
      if [ "$delay" -le 700 ]; then at="within 700 ms"; else at="$delay ms after"; fi
    fi
    check "$name: call $((i + 1)) ($code) logged within 700 ms of its end" "within 700 ms" "$at"
  done
  check "$name: no audio buffers lost" "" "$(grep 'audio buffers lost' "$dir/err")"
}

# 1. The own code is answered with the own code after 1000 ms.
run_case answer Action=1 Delay=1000
wait_until 100 logged "Responding with own code: $own"
end_case answer
first=$(grep -m1 'Code received: ' "$dir/Sequelo.log")
answer=$(grep -m1 "Responding with own code: $own" "$dir/Sequelo.log")
if [ -n "$first" ] && [ -n "$answer" ]; then
  wait_ms=$(($(line_ms "$answer") - $(line_ms "$first")))
  echo "  answer: responded $wait_ms ms after the first code"
  [ "$wait_ms" -ge 1000 ] && verdict="1000 ms or more" || verdict="$wait_ms ms"
else
  verdict="no answer logged"
fi
check "answer: own code answered after the delay" "1000 ms or more" "$verdict"
check "answer: the answer went out on AnswerSink" "$own" \
  "$("$cli" decode --raw "$rate" --format tsv "$dir/answer.raw" | cut -f2 | paste -sd' ')"

# 2. The own code starts a 5 s alert sound on the default output.
run_case alert Action=0 PlayWaveFileOnReceiption=1 "WaveFileToPlay=$work/alert.wav"
# Room for the alert to play to its end after the first call.
remaining=$((started_ms + ends_ms[0] + 5000 - $(now_ms)))
[ "$remaining" -gt 0 ] && sleep "$(awk -v ms="$remaining" 'BEGIN { print ms / 1000 }')"
end_case alert
check "alert: the alert sound played on AnswerSink" "$alert_code" \
  "$("$cli" decode --raw "$rate" --format tsv "$dir/answer.raw" | cut -f2 | paste -sd' ')"

restore_default_sink
check "default output restored" "$original_sink" "$(pactl get-default-sink)"
finish
