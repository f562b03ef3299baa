#!/usr/bin/env bash
# sequelo-cli ports and ptt-test, run as a user would, against a real pty pair
# from socat standing in for the radio's CAT port. Needs SEQUELO_CLI.
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
work=$(mktemp -d /tmp/sequelo-station.XXXXXX)
socatPid=
cleanup() {
  [ -n "$socatPid" ] && kill "$socatPid" 2>/dev/null && wait "$socatPid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/lib.sh"

"$cli" ports >"$work/ports" 2>"$work/ports.err"
check "ports status" "0" "$?"
check "ports prints devices or says none" "1" "$( (test -s "$work/ports" || grep -q 'No serial devices found.' "$work/ports.err") && echo 1 || echo 0)"

cd "$work" || exit 1
"$cli" ptt-test --seconds 0 >"$work/off" 2>&1
check "no settings: PTT control off" "1" "$?"
check "says so" "1" "$(grep -c 'PTT control is off' "$work/off")"

if command -v socat >/dev/null; then
  socat -d -d pty,raw,echo=0,link="$work/radio" pty,raw,echo=0,link="$work/station" 2>"$work/socat.log" &
  socatPid=$!
  for _ in $(seq 100); do [ -e "$work/radio" ] && [ -e "$work/station" ] && break; sleep 0.05; done
  printf '[Sequelo]\r\nUsePTTControl=1\r\nCAT=1\r\nTXCommand=fe0a\r\nRXCommand=FE0B\r\nComDevice=%s\r\nBaudrate=2\r\nDatabits=1\r\nParity=2\r\n' \
    "$work/station" >Sequelo.ini
  # The radio's end holds the four bytes keying and releasing send.
  exec 7<"$work/radio"
  "$cli" ptt-test --seconds 0 >"$work/out" 2>&1
  check "ptt-test status" "0" "$?"
  timeout 20 head -c 4 <&7 | od -An -tx1 | tr -d ' \n' >"$work/bytes"
  exec 7<&-
  check "CAT bytes reach the radio" "fe0afe0b" "$(cat "$work/bytes")"
  check "steps printed" "1" "$(grep -c 'Port settings restored and port closed.' "$work/out")"
  printf '[Sequelo]\r\nUsePTTControl=1\r\nComDevice=%s/missing\r\n' "$work" >Sequelo.ini
  "$cli" ptt-test --seconds 0 >"$work/out" 2>"$work/err"
  check "missing port status" "1" "$?"
  check "missing port message" "Sequelo: Error opening com port for PTT." "$(cat "$work/err")"
fi

"$cli" ptt-test --seconds -1 >/dev/null 2>&1
check "bad --seconds" "2" "$?"

finish
