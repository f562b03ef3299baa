#!/usr/bin/env bash
# The headless station's safety limits, with real processes: the station
# (sequelo-cli run), TCP clients (socat), and a CAT radio on a socat pty pair
# whose radio side is recorded with a time stamp per chunk read.
#   1. A client from outside RemoteAllow is closed at once, unanswered.
#   2. RemoteTransmit=0: a flood of random lines keys nothing; codes heard
#      still reach the client.
#   3. MaxTransmitSeconds: a command string keying too long is refused
#      whole; a shorter one keys for as long as it says.
#   4. A flood of "!X" lines: at most two keyings a second, the remote queue
#      bounded, and the transmitter released last on SIGTERM.
#   5. Twenty clients at once, calls sent over the test sink and heard back:
#      every accepted call decoded once, every other one refused and logged.
# Needs SEQUELO_CLI and the sound server's environment (PULSE_SERVER).
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
work=$(mktemp -d /tmp/sequelo-safety.XXXXXX)
station=
pids=()
declare -A clientFd clientPid

gone() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -z "$state" ] || [[ "$state" == Z* ]]
}
cleanup() {
  [ -n "$station" ] && kill -TERM "$station" 2>/dev/null && wait "$station" 2>/dev/null
  for name in "${!clientPid[@]}"; do kill "${clientPid[$name]}" 2>/dev/null; done
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
source "$(dirname "$0")/lib.sh"
command -v socat >/dev/null || { echo "socat is not installed (scripts/install-deps)"; exit 1; }

# --- The CAT radio: a pty pair; what reaches the radio's side is written to
# $dir/radio.log as "SECONDS HEX" per chunk read (perl comes with git).
start_radio() {
  socat pty,raw,echo=0,link="$dir/radio" pty,raw,echo=0,link="$dir/station" 2>/dev/null &
  pids+=($!)
  wait_until 50 test -e "$dir/radio" -a -e "$dir/station"
  perl -MTime::HiRes=time -e '
    open(my $f, "<", $ARGV[0]) or die "$ARGV[0]: $!";
    $| = 1;
    while (sysread($f, my $bytes, 4096)) { printf "%.3f %s\n", time, unpack("H*", $bytes) }' \
    "$dir/radio" >"$dir/radio.log" 2>/dev/null &
  local reader=$!
  pids+=("$reader")
  # Reading before the station starts, so that every byte gets its time.
  wait_until 50 reader_open "$reader" "$(readlink -f "$dir/radio")"
}
reader_open() {
  local fd
  for fd in /proc/"$1"/fd/*; do [ "$(readlink "$fd")" = "$2" ] && return 0; done
  return 1
}
# The CAT commands the radio got, one a line: "SECONDS tx|rx|HEX".
cat_commands() {
  awk '{ s = $2
         while (length(s) >= 4) {
           c = substr(s, 1, 4); s = substr(s, 5)
           print $1, (c == "fe0a" ? "tx" : c == "fe0b" ? "rx" : c)
         }
         if (s != "") print $1, s }' "$dir/radio.log"
}
cat_sequence() { cat_commands | cut -d' ' -f2 | paste -sd' '; }
count_tx_at_least() { [ "$(cat_commands | grep -c ' tx$')" -ge "$1" ]; }
last_is_rx() { [ "$(cat_commands | tail -1 | cut -d' ' -f2)" = rx ]; }
ptt_keys() {
  printf '%s\r\n' UsePTTControl=1 CAT=1 TXCommand=fe0a RXCommand=fe0b "ComDevice=$dir/station" \
    TXDelay=100
}

# --- The station, in $work/NAME with the given Sequelo.ini lines.
new_station_dir() {
  dir=$work/$1
  mkdir "$dir"
}
start_station() {  # start_station INI_LINE...
  # With the PTT keys, when ptt_keys has written them.
  { printf '[Sequelo]\r\n'; cat "$dir/ptt" 2>/dev/null; printf '%s\r\n' "$@"; } >"$dir/Sequelo.ini"
  "$cli" run --dir "$dir" --port 0 >"$dir/out" 2>"$dir/err" &
  station=$!
  wait_until 100 grep -q 'Remote control on port' "$dir/err" 2>/dev/null
  port=$(grep -o 'port [0-9]*' "$dir/err" | awk '{print $2}')
  check "$(basename "$dir"): station listening" "1" "$(grep -c 'Remote control on port' "$dir/err")"
}
stop_station() {  # ends it with SIGTERM; status in stop_status
  kill -TERM "$station"
  wait_until 100 gone "$station" || kill -KILL "$station"
  wait "$station"
  stop_status=$?
  station=
}
log_text() { tr -d '\r' <"$dir/Sequelo.log" | cut -c23-; }
logged_count() { log_text | grep -c -E -- "$1"; }
logged_at_least() { [ "$(logged_count "$1")" -ge "$2" ]; }

# --- A client kept open, fed through a pipe; what it receives goes to a
# file. (Clients that only send a file and leave are plain socat runs.)
client_open() {  # client_open NAME
  mkfifo "$dir/$1.in"
  local closes=
  for other in "${!clientFd[@]}"; do closes+=" ${clientFd[$other]}>&-"; done
  eval "socat - TCP:127.0.0.1:$port <\"$dir/$1.in\" >\"$dir/$1.out\" 2>/dev/null $closes &"
  clientPid[$1]=$!
  exec {fd}>"$dir/$1.in"
  clientFd[$1]=$fd
}
client_send() { printf '%s\r\n' "$2" >&"${clientFd[$1]}"; }
client_close() {
  eval "exec ${clientFd[$1]}>&-"
  wait "${clientPid[$1]}" 2>/dev/null
  unset "clientPid[$1]" "clientFd[$1]"
}
lines_at_least() { [ "$(grep -c '' "$1" 2>/dev/null)" -ge "$2" ]; }

# 1. Outside the allow-list: 127.0.0.1 and ::1 are not in 10.0.0.0/8. The
#    client's lines are written before it connects; it must be closed
#    without a byte, and the lines never read.
new_station_dir refused
start_radio
ptt_keys >"$dir/ptt"
start_station OutputDevice=Loopback InputDevice=Loopback RemoteAllow=10.0.0.0/8
refused_client() {  # refused_client NAME ADDRESS: ADDRESS as socat takes it
  mkfifo "$dir/$1.in"
  exec {in}<>"$dir/$1.in"
  printf '12345\r\n!XP0100\r\n' >&$in
  timeout 10 socat -d -d - "$2:$port" <"$dir/$1.in" >"$dir/$1.out" 2>"$dir/$1.err"
  local status=$?
  exec {in}>&-
  check "refused: $1 closed by the station" "ended" "$([ "$status" -ne 124 ] && echo ended || echo "still open after 10 s")"
  check "refused: $1 got no byte" "0" "$(wc -c <"$dir/$1.out")"
  local own
  own=$(grep -o 'successfully connected from local address .*' "$dir/$1.err" | grep -o '[0-9]*$')
  check "refused: $1 logged once, with its address" "1" \
    "$(logged_count "^Remote connection refused from $3:$own: address not allowed \(RemoteAllow\)$")"
}
refused_client v4 TCP:127.0.0.1 '127\.0\.0\.1'
tried=1
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then
  refused_client v6 'TCP6:[::1]' '\[::1\]'
  tried=2
fi
check "refused: one log line a connection" "$tried" "$(logged_count '^Remote connection')"
check "refused: no line reached the station" "0" "$(logged_count '^(Socket|Command|Remote line)')"
check "refused: nothing on the CAT port" "" "$(cat_sequence)"
stop_station
wait_until 30 last_is_rx
check "refused: only releases on the CAT port, from the shut-down" "" "$(cat_sequence | tr -d 'rx ')"

# 2. Receive only: 10,000 random lines (codes and command strings) from four
#    clients at once while client 1 listens; then a call played into the
#    test sink reaches client 1.
new_station_dir receive_only
start_radio
ptt_keys >"$dir/ptt"
start_station OutputDevice=Loopback "InputDevice=Monitor of TestSink" Mode=0 RemoteTransmit=0
client_open listener
wait_until 50 logged_at_least '^Socket Client connected' 1
seed=$RANDOM
echo "  random lines from seed $seed"
for n in 1 2 3 4; do
  awk -v seed="$((seed + n))" 'BEGIN {
    srand(seed)
    for (i = 0; i < 2500; i++) {
      if (rand() < 0.5) { printf "%05d\r\n", int(rand() * 100000); continue }
      s = "!"
      for (k = 1 + int(rand() * 5); k > 0; k--) {
        r = int(rand() * 5)
        if (r == 0) s = s sprintf("C%05d", int(rand() * 100000))
        else if (r == 1) s = s sprintf("P%04d", int(rand() * 10000))
        else if (r == 2) s = s sprintf("T%04d%04d", int(rand() * 3000), int(rand() * 3000))
        else s = s (r == 3 ? "X" : "R")
      }
      printf "%s\r\n", s
    } }' >"$dir/flood$n"
done
check "receive only: 10,000 lines made" "10000" "$(cat "$dir"/flood? | grep -c '')"
for n in 1 2 3 4; do socat -u - "TCP:127.0.0.1:$port" <"$dir/flood$n" 2>/dev/null & done
# Each flooding client's summary comes when it has gone, all its lines handled
# (one may also come while it floods): four clients summed up.
flooders() {
  log_text | grep -E -o '^Remote client 127\.0\.0\.1:[0-9]+: [0-9]+ lines dropped' |
    cut -d' ' -f3 | sort -u | grep -c ''
}
wait_until 300 test "$(flooders)" -ge 4
check "receive only: every flood handled and summed up" "4" "$(flooders)"
check "receive only: lines refused as receive only" "yes" \
  "$(logged_at_least '^Remote line not sent: remote clients may not transmit \(RemoteTransmit=0\): ' 4 && echo yes)"
check "receive only: no other refusal" "0" \
  "$(log_text | grep '^Remote line not sent: ' | grep -c -v 'remote clients may not transmit')"
mkdir "$work/sender"
printf '[Sequelo]\r\nOutputDevice=TestSink\r\nMode=0\r\n' >"$work/sender/Sequelo.ini"
(cd "$work/sender" && "$cli" send 24680 >/dev/null 2>&1)
check "receive only: call played into the sink" "0" "$?"
wait_until 100 lines_at_least "$dir/listener.out" 1
check "receive only: the call reaches the client, nothing else" "24680"$'\r' "$(cat "$dir/listener.out")"
check "receive only: nothing on the CAT port" "" "$(cat_sequence)"
check "receive only: no command ran" "0" "$(logged_count '^(Command|Code sent)')"
check "receive only: the one call heard" "Code received: 24680" "$(log_text | grep '^Code received')"
client_close listener
stop_station
wait_until 30 last_is_rx
check "receive only: never keyed" "" "$(cat_sequence | tr -d 'rx ')"

# 3. MaxTransmitSeconds=5 (TXDelay 100 ms): keyings of 20 s and of 5.1 s are
#    refused whole, one of 3.1 s goes out.
new_station_dir longest
start_radio
ptt_keys >"$dir/ptt"
start_station OutputDevice=Loopback InputDevice=Loopback MaxTransmitSeconds=5
printf '%s\r\n' '!XP9999P9999' '!XP2000P2000P1000' '!XP3000' | socat -u - "TCP:127.0.0.1:$port"
wait_until 100 count_tx_at_least 1
wait_until 60 last_is_rx
check "longest: one keying, released" "tx rx" "$(cat_sequence)"
keyed_ms=$(cat_commands | awk '$2 == "tx" { t = $1 } $2 == "rx" { printf "%d", ($1 - t) * 1000; exit }')
echo "  longest: keyed for $keyed_ms ms"
check "longest: keyed for about 3.1 s" "3000-4000 ms" \
  "$([ "${keyed_ms:-0}" -ge 3000 ] && [ "${keyed_ms:-0}" -le 4000 ] && echo "3000-4000 ms" || echo "$keyed_ms ms")"
for text in '!XP9999P9999' '!XP2000P2000P1000'; do
  check "longest: $text refused and logged" "1" \
    "$(logged_count "^Remote line not sent: .*longer than the 5 s allowed \(MaxTransmitSeconds\): $text\$")"
done
check "longest: only the short one ran" "Command PTT on|Command Pause 3000 ms" \
  "$(log_text | grep '^Command' | paste -sd'|')"
stop_station

# 4. 20,000 "!X" lines in one go: the first few are queued, more than the
#    remote queue holds are refused, the rest dropped by the line rate;
#    keyings start at most two in any second. SIGTERM while jobs wait.
new_station_dir flood
start_radio
ptt_keys >"$dir/ptt"
start_station OutputDevice=Loopback InputDevice=Loopback
yes '!X' | head -n 20000 | sed 's/$/\r/' >"$dir/lines"
socat -u - "TCP:127.0.0.1:$port" <"$dir/lines"
wait_until 150 count_tx_at_least 6
check "flood: the queued jobs key one after another" "yes" "$(count_tx_at_least 6 && echo yes)"
check "flood: remote queue full, refused and logged" "yes" \
  "$(logged_at_least '^Remote line not sent: the transmitter has 16 remote transmissions waiting: !X$' 1 && echo yes)"
wait_until 100 logged_at_least '^Remote client 127\.0\.0\.1:[0-9]+: [0-9]+ lines dropped' 1
check "flood: lines over the rate dropped and summed up" "1" \
  "$(logged_count '^Remote client 127\.0\.0\.1:[0-9]+: [0-9]+ lines dropped \(more than 10 a second\)')"
most=$(cat_commands | awk '$2 == "tx" { t[n++] = $1 }
  END { m = 0; for (i = 0; i < n; i++) { c = 0; for (j = i; j < n && t[j] - t[i] < 1.0; j++) c++; if (c > m) m = c }; print m }')
check "flood: at most 2 keyings in any second" "yes" "$([ "$most" -le 2 ] && echo yes || echo "$most")"
check "flood: each keying released before the next" "" \
  "$(cat_sequence | sed -E 's/(tx rx ?)*//; s/tx$//')"
stop_station
check "flood: SIGTERM ends it with jobs waiting" "0" "$stop_status"
wait_until 30 last_is_rx
check "flood: the last CAT command is the release" "rx" "$(cat_commands | tail -1 | cut -d' ' -f2)"
check "flood: termination logged" "1" "$(logged_count '^Program termination')"

# 5. Twenty clients at once (RemoteMaxClients=20), three distinct codes each,
#    sent into the test sink and heard back from its monitor. Client 1
#    listens and sends its codes with the others.
new_station_dir clients
start_station OutputDevice=TestSink "InputDevice=Monitor of TestSink" Mode=0 RemoteMaxClients=20
client_open listener
wait_until 50 logged_at_least '^Socket Client connected' 1
codes=()
for n in $(seq 1 60); do codes+=("$(printf '%05d' $(((n * 7919 + 1234) % 100000)))"); done
client_pids=()
for c in $(seq 1 19); do
  printf '%s\r\n' "${codes[@]:$((3 * c)):3}" | socat -t 1 - "TCP:127.0.0.1:$port" >/dev/null 2>&1 &
  client_pids+=($!)
done
for code in "${codes[@]:0:3}"; do client_send listener "$code"; done
wait "${client_pids[@]}"
wait_until 100 logged_at_least '^Socket code received: ' 60
check "clients: every line reached the station" "60" "$(logged_count '^Socket code received: ')"
check "clients: no connection refused" "0" "$(logged_count '^Remote connection refused')"
refused=$(log_text | sed -n -E 's/^Remote line not sent: .*: ([0-9]{5})$/\1/p' | sort)
accepted=$(printf '%s\n' "${codes[@]}" | sort | comm -23 - <(echo "$refused"))
echo "  clients: $(grep -c . <<<"$accepted") accepted, $(grep -c . <<<"$refused") refused"
check "clients: at least the queue's 16 accepted, the rest refused" "yes" \
  "$([ "$(grep -c . <<<"$accepted")" -ge 16 ] && [ "$(grep -c . <<<"$refused")" -ge 1 ] && echo yes)"
check "clients: refused for the full queue" "0" \
  "$(log_text | grep '^Remote line not sent: ' | grep -c -v -E 'the transmitter has (16 remote transmissions|[0-9]+ s of remote transmissions) waiting')"
# Accepted calls go out about a second apart; once they are heard, a last
# call: when it has been heard too, every other one has gone out.
count=$(grep -c . <<<"$accepted")
wait_until $((15 * count + 100)) logged_at_least '^Code received: ' "$count"
client_send listener 99999
wait_until 100 logged_at_least '^Code received: 99999$' 1
check "clients: a last call accepted and heard once the queue is empty" "1" \
  "$(logged_count '^Code received: 99999$')"
heard=$(log_text | sed -n -E 's/^Code received: (.*)$/\1/p' | grep -v '^99999$' | sort)
check "clients: every accepted call heard back exactly once, nothing else" "$accepted" "$heard"
check "clients: client 1 got every call heard" \
  "$(log_text | sed -n -E 's/^Code received: (.*)$/\1/p' | paste -sd' ')" \
  "$(tr -d '\r' <"$dir/listener.out" | paste -sd' ')"
client_close listener
stop_station
check "clients: clean stop" "0" "$stop_status"
finish
