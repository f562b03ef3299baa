#!/usr/bin/env bash
# The headless station (sequelo-cli run) on the Loopback devices, driven by
# real TCP clients (socat): remote calls and command strings go out, come
# back through the station's own capture, reach the client; answers to the
# own code; connection numbering; bad input; shut-down during a
# transmission. Needs SEQUELO_CLI.
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
work=$(mktemp -d /tmp/sequelo-run.XXXXXX)
station=
declare -A clientFd clientPid
cleanup() {
  [ -n "$station" ] && kill -INT "$station" 2>/dev/null && wait "$station" 2>/dev/null
  for name in "${!clientPid[@]}"; do kill "${clientPid[$name]}" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/lib.sh"
command -v socat >/dev/null || { echo "socat is not installed (scripts/install-deps)"; exit 1; }

logged() { grep -q -- "$1" "$dir/Sequelo.log" 2>/dev/null; }
# True once FILE has at least N lines holding TEXT (re-read at every try).
count_at_least() { [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ]; }

# TCP clients (socat) fed through a pipe; what they receive goes to a file.
client_open() {  # client_open NAME
  mkfifo "$work/$1.in"
  # The new client must not hold the other clients' pipes open, or closing
  # one would never reach its socat.
  local closes=
  for other in "${!clientFd[@]}"; do closes+=" ${clientFd[$other]}>&-"; done
  eval "socat - TCP:127.0.0.1:$port <\"$work/$1.in\" >\"$work/$1.out\" 2>/dev/null $closes &"
  clientPid[$1]=$!
  exec {fd}>"$work/$1.in"
  clientFd[$1]=$fd
}
client_send() { printf '%s\r\n' "$2" >&"${clientFd[$1]}"; }
client_line() {  # client_line NAME N: the N-th line received (bounded wait)
  wait_until 150 count_at_least "$work/$1.out" '' "$2"
  sed -n "$2p" "$work/$1.out"
}
client_close() {
  eval "exec ${clientFd[$1]}>&-"
  wait "${clientPid[$1]}" 2>/dev/null
  unset "clientPid[$1]" "clientFd[$1]"
  rm -f "$work/$1.in"
}

start_station() {  # start_station DIR
  dir=$1
  "$cli" run --dir "$dir" --port 0 >"$dir/out" 2>"$dir/err" &
  station=$!
  wait_until 100 grep -q 'Remote control on port' "$dir/err"
  port=$(grep -o 'port [0-9]*' "$dir/err" | awk '{print $2}')
}
stop_station() {
  kill -INT "$station"
  wait "$station"
  local status=$?
  station=
  return $status
}

# 1. Remote calls and command strings, heard back by the station itself.
mkdir "$work/a"
printf '[Sequelo]\r\nOutputDevice=Loopback\r\nInputDevice=Loopback\r\n' >"$work/a/Sequelo.ini"
start_station "$work/a"
check "station listens" "1" "$(grep -c 'Remote control on port' "$dir/err")"
client_open one
wait_until 50 logged "Socket Client connected"
check "client connected" "1" "$(grep -c 'Socket Client connected' "$dir/Sequelo.log")"
client_send one 12345
check "the code comes back to the client" "12345"$'\r' "$(client_line one 1)"
client_send one '!C54321P0100C11111'
check "both calls come back" "54321"$'\r'" 11111"$'\r' "$(client_line one 2) $(client_line one 3)"
check "log lines in order" \
  "Socket code received: 12345|Code received: 12345|Socket command received: !C54321P0100C11111|Command Call 54321|Code received: 54321|Command Pause 100 ms|Command Call 11111|Code received: 11111" \
  "$(grep -o -E '(Socket|Command|Code received).*' "$dir/Sequelo.log" | grep -v 'Client' | tr -d '\r' | paste -sd '|')"
check "activity lines on standard output" "1" "$(grep -c -E '^[0-9.]+ [0-9:]+ Command Pause 100 ms$' "$dir/out")"

# Other lines are ignored; a second client gets no connect line and no codes.
for text in 1234 123456 12a45 '' hello; do client_send one "$text"; done
client_open two
client_send two 67890  # lines of any connection are handled
check "client 1 gets the second client's call" "67890"$'\r' "$(client_line one 4)"
check "one connect line" "1" "$(grep -c 'Socket Client connected' "$dir/Sequelo.log")"
check "ignored lines not logged" "0" "$(grep -c -E 'received: (1234|123456|12a45|hello)?.$' "$dir/Sequelo.log")"
client_close one
wait_until 100 logged "Socket Client disconnected"  # a closed client 1 looks half-closed a while
check "client 1 left" "1" "$(grep -c 'Socket Client disconnected' "$dir/Sequelo.log")"
client_send two 13579
wait_until 50 logged "Code received: 13579"
client_close two
check "client 2 got no codes" "0" "$(wc -c <"$work/two.out")"
client_open three
wait_until 50 count_at_least "$dir/Sequelo.log" 'Socket Client connected' 2
check "a new client is client 1 again" "2" "$(grep -c 'Socket Client connected' "$dir/Sequelo.log")"

# Bad input and load: connections opened and dropped, a long line, random
# bytes; the station goes on serving client 1.
for _ in $(seq 200); do socat -t 0 -u /dev/null "TCP:127.0.0.1:$port" 2>/dev/null; done
head -c 100000 /dev/zero | tr '\0' '7' | socat -u - "TCP:127.0.0.1:$port"
head -c 10000000 /dev/urandom | socat -u - "TCP:127.0.0.1:$port" 2>/dev/null
client_send three 24680
check "still serving after the load" "24680"$'\r' "$(client_line three 1)"
client_close three
stop_station
check "clean stop" "0" "$?"
check "termination logged last" "Program termination" "$(tail -1 "$dir/Sequelo.log" | cut -c23- | tr -d '\r')"
check "termination not on the console" "0" "$(grep -c 'Program termination' "$dir/out")"

# A station on the Loopback devices with own code 54321 and the answer
# keys given; a client calls 54321 and the answer lines are read once
# `awaited` is logged and a wrong second answer has had time to show.
answer_station() {  # answer_station DIR KEYS AWAITED
  mkdir "$1"
  printf '[Sequelo]\r\nOutputDevice=Loopback\r\nInputDevice=Loopback\r\nOwnCode=54321\r\n%s' "$2" \
    >"$1/Sequelo.ini"
  start_station "$1"
  printf '54321\r\n' | socat -t 5 - "TCP:127.0.0.1:$port" >/dev/null
  wait_until 100 logged "$3"
  sleep 1.5
}
answer_lines() { grep -o -E '(Code received|Waiting|Responding|Own answer).*' "$dir/Sequelo.log" | tr -d '\r'; }

# 2. Answering the own code with a fixed call, once. The station keeps
#    listening while it answers: on the Loopback devices its own answer
#    comes straight back decoded.
answer_station "$work/b" $'Action=2\r\nFixedCode=11111\r\nDelay=1000\r\n' "Responding with fixed: 11111"
check "answer lines" "Code received: 54321|Waiting 1000 ms...|Responding with fixed: 11111|Code received: 11111" \
  "$(answer_lines | paste -sd '|')"
stop_station

# 2b. Answering with the own code: the answer, heard back on the Loopback
#     input, is the own code again, and is not answered again. (The echo's
#     "Code received" may come before or after "Responding": the answer is
#     logged once it has drained, as the echo is being decoded.)
answer_station "$work/b2" $'Action=1\r\nDelay=200\r\n' "Own answer heard back"
check "own answer heard back once" "Code received: 54321|Code received: 54321|Own answer heard back, not answered: 54321|Responding with own code: 54321|Waiting 200 ms..." \
  "$(answer_lines | LC_ALL=C sort | paste -sd '|')"
stop_station

# 3. A missing Sequelo.ini starts with the defaults and is written at exit;
#    SIGTERM during a long command string ends it promptly.
mkdir "$work/c"
start_station "$work/c"
printf '!P9999P9999P9999\r\n' | socat -t 1 - "TCP:127.0.0.1:$port" >/dev/null
wait_until 50 logged "Command Pause 9999 ms"
kill -TERM "$station"
wait_until 30 logged "Program termination"
check "SIGTERM mid-transmission ends it" "1" "$(grep -c 'Program termination' "$dir/Sequelo.log")"
wait "$station"
station=
check "only the first pause ran" "1" "$(grep -c 'Command Pause' "$dir/Sequelo.log")"
check "settings written at exit" "1" "$(grep -c '^Call_1=12345 - Test Code' "$dir/Sequelo.ini")"
finish
