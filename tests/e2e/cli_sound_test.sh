#!/usr/bin/env bash
# sequelo-cli encode -> sequelo-cli decode: every character in every
# position, with and without repeats, both tone sets, with and without a
# pilot tone; and the encode command's bad input. Needs SEQUELO_CLI.
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
work=$(mktemp -d /tmp/sequelo-sound.XXXXXX)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib.sh"

chars='0123456789*'
codes=()
for start in $(seq 0 10); do  # each character once in each position
  code=
  for i in 0 1 2 3 4; do code+=${chars:$(((start + i) % 11)):1}; done
  codes+=("$code")
done
for i in $(seq 0 10); do c=${chars:$i:1}; codes+=("$c$c$c$c$c"); done
codes+=(11211 12222 '1*1**' 12234 00100)

for mode in ZVEI DZVEI; do
  for pilot in "" "--pilot 300:300"; do
    files=()
    expected=
    n=0
    for code in "${codes[@]}"; do
      file="$work/$mode-$n.wav"
      # shellcheck disable=SC2086
      "$cli" encode --mode "$mode" $pilot -o "$file" "$code" || check "encode $code" 0 1
      files+=("$file")
      expected+="$file $code"$'\n'
      n=$((n + 1))
    done
    actual=$("$cli" decode --mode "$mode" --format json "${files[@]}" |
      sed -E 's/.*"code":"([^"]*)".*"file":"([^"]*)".*/\2 \1/')
    check "round trip $mode ${pilot:-without pilot}" "$expected" "$actual"$'\n'
  done
done

# The file is exactly what sending writes: 44-byte header, five 70 ms tones.
"$cli" encode -o "$work/one.wav" 12345
check "file size" "$((44 + 2 * 5 * 771))" "$(stat -c %s "$work/one.wav")"
check "header" "RIFF" "$(head -c 4 "$work/one.wav")"

"$cli" encode -o "$work/x.wav" 1234 2>/dev/null
check "short code refused" "2" "$?"
"$cli" encode -o "$work/x.wav" 12a45 2>/dev/null
check "letter refused" "2" "$?"
"$cli" encode --pilot 1750 -o "$work/x.wav" 12345 2>/dev/null
check "bad pilot refused" "2" "$?"
"$cli" encode -o "$work/missing/x.wav" 12345 2>"$work/err"
check "unwritable output" "1" "$?"
check "unwritable output named" "1" "$(grep -c 'missing/x.wav' "$work/err")"
# The devices list always ends with the Loopback device, in both lists.
"$cli" devices >"$work/devices" 2>&1
check "devices status" "0" "$?"
check "Loopback listed twice" "2" "$(grep -c -E '^ +[0-9]+ +Loopback +\(loopback\)' "$work/devices")"

# Sending on the Loopback output with PTT off: played and logged.
mkdir "$work/station" && cd "$work/station" || exit 1
printf '[Sequelo]\r\nOutputDevice=Loopback\r\nMode=1\r\n' >Sequelo.ini
"$cli" send 12345 >"$work/send" 2>&1
check "send status" "0" "$?"
check "send logged" "1" "$(grep -c ' Code sent: 12345' Sequelo.log)"
"$cli" send 1234 >/dev/null 2>&1
check "send refuses a bad code" "2" "$?"
finish
