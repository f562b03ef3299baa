#!/usr/bin/env bash
# The headless station as a systemd service sees it, without systemd: a
# datagram socket of our own stands in for the service manager's
# NOTIFY_SOCKET (WATCHDOG_USEC 2 s), and standard error is made the
# "journal" by naming its file in JOURNAL_STREAM. Checked: READY=1 with the
# status, WATCHDOG=1 while capture runs on the test sound server's monitor,
# no more of it and a status saying why once the server is stopped dead
# (SIGSTOP), STOPPING=1 at SIGTERM; journal markers on standard error; a
# missing input device said loudly. Needs SEQUELO_CLI and the sound
# server's environment (PULSE_SERVER, XDG_RUNTIME_DIR).
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
work=$(mktemp -d /tmp/sequelo-notify.XXXXXX)
station=
listener=
server=
cleanup() {
  [ -n "$server" ] && kill -CONT "$server" 2>/dev/null
  [ -n "$station" ] && kill -INT "$station" 2>/dev/null && wait "$station" 2>/dev/null
  [ -n "$listener" ] && kill "$listener" 2>/dev/null && wait "$listener" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/lib.sh"
command -v python3 >/dev/null || { echo "python3 is not installed (scripts/install-deps)"; exit 1; }

# The service manager's end: every datagram received, appended as a line
# (a datagram of several NAME=VALUE lines gives several lines).
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
with open(sys.argv[2], "a") as out:
    while True:
        out.write(s.recv(4096).decode("utf-8", "replace") + "\n")
        out.flush()
' "$work/notify" "$work/got" &
listener=$!
wait_until 50 test -S "$work/notify" || { echo "the listener did not start"; exit 1; }

got() { grep -c -- "$1" "$work/got" 2>/dev/null; }
has_at_least() { [ "$(got "$1")" -ge "$2" ]; }

start_station() {  # start_station DIR: as a service, its standard error the "journal"
  dir=$1
  : >"$dir/err"
  NOTIFY_SOCKET=$work/notify WATCHDOG_USEC=2000000 JOURNAL_STREAM=$(stat -c '%d:%i' "$dir/err") \
    "$cli" run --dir "$dir" --port 0 >"$dir/out" 2>>"$dir/err" &
  station=$!
  wait_until 100 has_at_least 'READY=1' 1
}
stop_station() {
  kill -TERM "$station"
  wait "$station"
  local status=$?
  station=
  return $status
}

# 1. Listening on the monitor of the test sink: ready, then fed while audio
#    comes; fed no more once the sound server stops dead.
mkdir "$work/a"
printf '[Sequelo]\r\nInputDevice=Monitor of TestSink\r\nOutputDevice=Loopback\r\n' \
  >"$work/a/Sequelo.ini"
start_station "$work/a"
check "ready with its status" "READY=1|STATUS=Listening on Monitor of TestSink, mode ZVEI" \
  "$(grep -A1 '^READY=1$' "$work/got" | paste -sd '|')"
wait_until 100 has_at_least 'WATCHDOG=1' 3
check "the watchdog is fed while capture runs" "yes" \
  "$(has_at_least 'WATCHDOG=1' 3 && echo yes)"
check "information marked for the journal" "1" "$(grep -c '^<6>Remote control on port' "$dir/err")"

# Only what comes after the sound server has stopped counts from here.
since=$(($(wc -l <"$work/got") + 1))
errSince=$(($(wc -l <"$dir/err") + 1))
later() { tail -n "+$since" "$work/got"; }
stalls_at_least() { [ "$(later | grep -c '^STATUS=Capture stalled: no audio for')" -ge "$1" ]; }
server=$(cat "${XDG_RUNTIME_DIR:?}/pipewire-pulse.pid")
kill -STOP "$server"
# The status counts the seconds without audio: wait until it has said so
# twice, and check that no WATCHDOG=1 came between the two.
wait_until 150 stalls_at_least 2
kill -CONT "$server"
server=
check "stall said in the status" "yes" \
  "$(later | grep -q '^STATUS=Capture stalled: no audio for [0-9]* s$' && stalls_at_least 2 && echo yes)"
check "no watchdog once stalled" "0" \
  "$(later | sed -n '/^STATUS=Capture stalled/,$p' | sed -n '2,/^STATUS=Capture stalled/p' |
    grep -c '^WATCHDOG=1')"
check "stall warned once on the journal" "1" \
  "$(tail -n "+$errSince" "$dir/err" |
    grep -c -E '^<4>sequelo: capture stalled: no audio for [0-9]+ s; the watchdog is no longer fed$')"
stop_station
check "clean stop" "0" "$?"
check "stopping said last" "STOPPING=1|STATUS=Shutting down" "$(tail -2 "$work/got" | paste -sd '|')"

# 2. A stored input device that is gone: said as a warning and in the
#    status. An address the remote control cannot listen on: an error.
: >"$work/got"
mkdir "$work/b"
printf '[Sequelo]\r\nInputDevice=No such receiver\r\nOutputDevice=Loopback\r\nRemoteListen=no.such.address\r\n' \
  >"$work/b/Sequelo.ini"
start_station "$work/b"
check "fall-back warned" "1" \
  "$(grep -c '^<4>sequelo: input device "No such receiver" not found, using "' "$dir/err")"
check "fall-back in the status" "1" \
  "$(grep -c '^STATUS=Listening on .*; input device "No such receiver" not found, using "' "$work/got")"
check "error marked for the journal" "1" "$(grep -c '^<3>sequelo: remote control is off' "$dir/err")"
stop_station
finish
