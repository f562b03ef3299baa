#!/usr/bin/env bash
# The transmitter is released however the program ends. A radio on a pty
# pair (the far end recorded by a small Python program, with timestamps)
# is keyed with CAT commands by the headless station (sequelo-cli run, on
# the test sound server's null sink). Each round starts a station, gives it
# work over TCP (a long key, queued calls, a long command string), waits a
# random moment and then, at random:
#   - SIGTERM, SIGHUP, SIGINT or SIGQUIT: the station must end promptly and
#     cleanly, and the last CAT command the radio got must be the release;
#   - its standard output's reader goes away: the station must not end; it
#     goes on keying and releasing (SIGUSR1 stops its transmission, a new
#     key is released), and then ends on SIGTERM, released.
# Every tenth round is `sequelo-cli ptt-test` instead, stopped by a signal
# while it holds the transmitter keyed: released every time.
#   Usage: cli_terminations_test.sh [ROUNDS]   (or SEQUELO_TERMINATION_ROUNDS;
#   default 30; SEQUELO_TERMINATION_SEED repeats a run's random choices)
# Needs SEQUELO_CLI and the sound server's environment (PULSE_SERVER).
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
rounds=${1:-${SEQUELO_TERMINATION_ROUNDS:-30}}
seed=${SEQUELO_TERMINATION_SEED:-$((($$ + ${EPOCHREALTIME/./}) % 32768))}
RANDOM=$seed
work=$(mktemp -d /tmp/sequelo-terminations.XXXXXX)
radio=
station=
reader=
tcp=
source "$(dirname "$0")/lib.sh"

gone() {  # true once process $1 has ended (an unreaped child counts as ended)
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -z "$state" ] || [[ "$state" == Z* ]]
}
stop_process() {  # stop_process PID: SIGTERM, SIGKILL after 5 s, reaped
  kill -TERM "$1" 2>/dev/null || return 0
  wait_until 50 gone "$1" || kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}
cleanup() {
  [ -n "$tcp" ] && exec {tcp}>&-
  [ -n "$station" ] && stop_process "$station"
  [ -n "$reader" ] && stop_process "$reader"
  [ -n "$radio" ] && stop_process "$radio"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
pause_ms() { sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }

# The radio: the far end of a pty pair. The near end (the station's CAT port,
# linked as $work/cat) stays open here too, so a station closing it leaves
# the pair in place for the next. Every byte received is appended as hex to
# $work/stream, and each chunk with its time to $work/radio.log.
python3 -c '
import os, sys, time, tty
link, stream_path, log_path = sys.argv[1:4]
master, near = os.openpty()
tty.setraw(near)
os.symlink(os.ttyname(near), link)
with open(stream_path, "a") as stream, open(log_path, "a") as log:
    while True:
        data = os.read(master, 4096)
        stream.write(data.hex())
        stream.flush()
        log.write("%.3f %s\n" % (time.time(), data.hex()))
        log.flush()
' "$work/cat" "$work/stream" "$work/radio.log" &
radio=$!
touch "$work/stream"
wait_until 50 test -L "$work/cat" || { check "radio pty ready" "yes" "no"; finish; exit; }

# Keying and releasing send these two commands; the radio's stream is a
# sequence of them, so the last four hex digits say which came last.
key=fe0a
release=fe0b
settings() {  # settings TX_DELAY_MS DIR
  {
    printf '[Sequelo]\r\n'
    printf '%s\r\n' "OutputDevice=TestSink" "InputDevice=Monitor of TestSink" "Mode=0" \
      "UsePTTControl=1" "CAT=1" "TXCommand=$key" "RXCommand=$release" "ComDevice=$work/cat" \
      "TXDelay=$1"
  } >"$2/Sequelo.ini"
}
stream_size() { stat -c %s "$work/stream"; }
since() { tail -c +$(($1 + 1)) "$work/stream"; }  # the stream from offset $1 on
last_command() { since "$1" | tail -c 4; }
released_since() { [ "$(last_command "$1")" = "$release" ]; }
keyed_since() { since "$1" | grep -q "$key"; }
# Keyed and released again since offset $1.
rekeyed_since() { since "$1" | grep -q "$key" && released_since "$1"; }
logged() { grep -q -- "$1" "$dir/Sequelo.log" 2>/dev/null; }

# The figures: how each round ended, and how long the end took after the signal.
declare -A ends
end_times=()
keyed_at_signal=0

# Waits (up to 5 s, in 10 ms steps) for process $1 to end; sets took_ms.
time_end() {
  local start
  start=$(now_ms)
  for _ in $(seq 500); do gone "$1" && break; sleep 0.01; done
  took_ms=$(($(now_ms) - start))
}

# The round's release, with the round's story on failure. Closing the port
# sends the release once more, so even a round that ended before anything was
# keyed leaves the release last.
check_released() {  # check_released NAME OFFSET
  wait_until 20 released_since "$2"
  local last
  last=$(last_command "$2")
  check "$1: last CAT command is the release" "$release" "$last"
  if [ "$last" != "$release" ]; then
    echo "  radio since the round began: $(since "$2"); its last chunks (time, bytes):"
    tail -3 "$work/radio.log" | sed 's/^/    /'
    [ -n "${dir:-}" ] && tail -5 "$dir/Sequelo.log" | sed 's/^/  log: /'
  fi
}

start_station() {  # start_station DIR: standard output to $dir/out, or to the reader's pipe
  dir=$1
  if [ -n "${2:-}" ]; then
    mkfifo "$dir/pipe"
    cat "$dir/pipe" >"$dir/out" &
    reader=$!
    "$cli" run --dir "$dir" --port 0 >"$dir/pipe" 2>"$dir/err" &
  else
    "$cli" run --dir "$dir" --port 0 >"$dir/out" 2>"$dir/err" &
  fi
  station=$!
  wait_until 100 grep -q 'Remote control on port' "$dir/err" 2>/dev/null
  port=$(grep -o 'port [0-9]*' "$dir/err" | awk '{print $2}')
  exec {tcp}<>"/dev/tcp/127.0.0.1/${port:-1}" || exec {tcp}>/dev/null
}

# Work for the transmitter: a long key with calls queued behind it, or a long
# command string of calls and pauses (each call keys and releases on its own).
give_work() {
  case $((RANDOM % 3)) in
    0) printf '!XP5000\r\n12345\r\n54321\r\n' >&"$tcp" ;;
    1) printf '!C12345P0300C54321P0300C13579P0300C24680\r\n' >&"$tcp" ;;
    2) printf '!XP1000T10000400C12345\r\n!XP5000\r\n' >&"$tcp" ;;
  esac
}

signal_round() {  # signal_round N SIGNAL
  local name="round $1 ($2)" mark status
  mark=$(stream_size)
  start_station "$work/$1"
  give_work
  pause_ms $((RANDOM % 700))
  [ "$(last_command "$mark")" = "$key" ] && keyed_at_signal=$((keyed_at_signal + 1))
  kill "-$2" "$station"
  time_end "$station"
  end_times+=("$took_ms")
  check "$name: ended within 5 s" "yes" "$(gone "$station" && echo yes || echo no)"
  gone "$station" || kill -KILL "$station"
  wait "$station"
  status=$?
  station=
  exec {tcp}>&-
  tcp=
  check "$name: exit status" "0" "$status"
  check "$name: the signal logged" "1" "$(grep -c "Ending on SIG$2" "$dir/Sequelo.log")"
  check "$name: termination logged last" "Program termination" \
    "$(tail -1 "$dir/Sequelo.log" | cut -c23- | tr -d '\r')"
  check_released "$name" "$mark"
}

# The reader of standard output goes away while the station works: it keeps
# running, stops its transmission on SIGUSR1, keys and releases again, and
# ends on SIGTERM.
reader_round() {  # reader_round N
  local name="round $1 (reader gone)" mark again status
  mark=$(stream_size)
  start_station "$work/$1" pipe
  give_work
  pause_ms $((RANDOM % 700))
  [ "$(last_command "$mark")" = "$key" ] && keyed_at_signal=$((keyed_at_signal + 1))
  kill -TERM "$reader"
  wait "$reader" 2>/dev/null
  reader=
  printf '11111\r\n' >&"$tcp"  # an activity line to write into the closed pipe
  wait_until 50 logged "Standard output closed"
  check "$name: the closed output logged once" "1" \
    "$(grep -c 'Standard output closed: activity lines are no longer printed' "$dir/Sequelo.log")"
  check "$name: still running" "yes" "$(gone "$station" && echo no || echo yes)"
  kill -USR1 "$station"
  wait_until 50 logged "Transmission stopped"
  wait_until 50 released_since "$mark"
  check "$name: SIGUSR1 releases" "$release" "$(last_command "$mark")"
  again=$(stream_size)
  printf '!XP0100\r\n' >&"$tcp"
  wait_until 50 rekeyed_since "$again"
  check "$name: keys and releases again" "yes" "$(rekeyed_since "$again" && echo yes || echo no)"
  check "$name: still running after that" "yes" "$(gone "$station" && echo no || echo yes)"
  kill -TERM "$station"
  time_end "$station"
  end_times+=("$took_ms")
  check "$name: ended on SIGTERM within 5 s" "yes" "$(gone "$station" && echo yes || echo no)"
  gone "$station" || kill -KILL "$station"
  wait "$station"
  status=$?
  station=
  exec {tcp}>&-
  tcp=
  check "$name: exit status" "0" "$status"
  check_released "$name" "$mark"
}

# ptt-test holding the transmitter, stopped by a signal while keyed.
ptt_round() {  # ptt_round N SIGNAL
  local name="round $1 (ptt-test, $2)" mark pid status
  dir=$work/$1
  mark=$(stream_size)
  (cd "$dir" && exec "$cli" ptt-test --seconds 5 >out 2>&1) &
  pid=$!
  wait_until 50 keyed_since "$mark"
  pause_ms $((RANDOM % 300))
  [ "$(last_command "$mark")" = "$key" ] && keyed_at_signal=$((keyed_at_signal + 1))
  kill "-$2" "$pid"
  time_end "$pid"
  end_times+=("$took_ms")
  check "$name: ended within 5 s" "yes" "$(gone "$pid" && echo yes || echo no)"
  gone "$pid" || kill -KILL "$pid"
  wait "$pid"
  status=$?
  check "$name: exit status" "$((128 + $(kill -l "$2")))" "$status"
  check "$name: says it released" "1" "$(grep -c '^Released the transmitter.$' "$dir/out")"
  check_released "$name" "$mark"
}

echo "$rounds rounds, seed $seed"
started=$(now_ms)
signals=(TERM HUP INT QUIT)
for round in $(seq "$rounds"); do
  before=$failed
  mkdir "$work/$round"
  # A TX delay now and then: the end may come while the delay runs.
  settings "$(((RANDOM % 4 == 0) * 300))" "$work/$round"
  if [ $((round % 10)) -eq 0 ]; then
    how="ptt-test ${signals[RANDOM % 4]}"
    ptt_round "$round" "${how#* }"
  else
    choice=$((RANDOM % 5))
    if [ "$choice" -eq 4 ]; then
      how="reader gone"
      reader_round "$round"
    else
      how=${signals[choice]}
      signal_round "$round" "$how"
    fi
  fi
  ends[$how]=$((${ends[$how]:-0} + 1))
  [ "$failed" -eq "$before" ] && rm -rf "${work:?}/$round"
done
elapsed=$(($(now_ms) - started))

sorted=$(printf '%s\n' "${end_times[@]}" | sort -n)
count=${#end_times[@]}
echo "Rounds: $rounds in $((elapsed / 1000)).$((elapsed % 1000 / 100)) s (seed $seed)"
for how in "${!ends[@]}"; do echo "  $how: ${ends[$how]}"; done | sort
echo "Keyed at the moment of the end: $keyed_at_signal of $rounds rounds"
echo "Time from the signal to the end: median $(sed -n "$(((count + 1) / 2))p" <<<"$sorted") ms," \
  "max $(tail -1 <<<"$sorted") ms"
finish
