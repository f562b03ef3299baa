#!/usr/bin/env bash
# sequelo-cli decode, run as a user would: files, pipes, formats, bad input,
# bad usage. Needs SEQUELO_CLI and SEQUELO_TESTSIGNAL (set by CTest).
set -u
cli=${SEQUELO_CLI:?}
gen=${SEQUELO_TESTSIGNAL:?}
work=$(mktemp -d /tmp/sequelo-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/lib.sh"

# Several calls in a 6000 Hz stereo WAV: all found, same output every run.
"$gen" --code 12345 --code 11111 --code '1*3*5' --channels 2 "$work/calls.wav"
"$cli" decode --format tsv "$work/calls.wav" >"$work/a.tsv"
"$cli" decode --format tsv "$work/calls.wav" >"$work/b.tsv"
check "codes in a 6000 Hz stereo file" $'12345\n11111\n1*3*5' "$(cut -f2 "$work/a.tsv")"
check "byte-identical runs" "" "$(cmp "$work/a.tsv" "$work/b.tsv" 2>&1)"
check "tsv time format" "" "$(grep -v -E '^[0-9]+\.[0-9]{3}	' "$work/a.tsv")"

# The right channel is silent in that file.
check "right channel" "" "$("$cli" decode --channel right "$work/calls.wav")"

# Text and JSON lines.
line=$("$cli" decode "$work/calls.wav" | head -1)
check "text line" "1" "$(grep -c -E '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} Code received: 12345$' <<<"$line")"
json=$("$cli" decode --format json --mode zvei "$work/calls.wav" | head -1)
check "json line" "1" "$(grep -c -E '^\{"time":[0-9.]+,"code":"12345","mode":"ZVEI","file":".*calls\.wav"\}$' <<<"$json")"

# DZVEI calls with the 810 Hz repeat tone.
"$gen" --mode DZVEI --code 11111 --code 12234 --rate 44100 "$work/dzvei.wav"
check "DZVEI repeat tone" $'11111\n12234' "$("$cli" decode --mode DZVEI --format tsv "$work/dzvei.wav" | cut -f2)"

# Raw samples from a pipe, as from rtl_fm.
out=$("$gen" --raw --code 98765 --rate 22050 - | "$cli" decode --raw 22050 --format tsv - | cut -f2)
check "raw from standard input" "98765" "$out"

# A live pipe: the code is printed while the pipe is still open, not at its end.
coproc DEC { "$cli" decode --raw 22050 --format tsv -; }
dec_pid=$DEC_PID  # bash unsets DEC_PID once the coprocess has ended
"$gen" --raw --code 24680 --rate 22050 - >&"${DEC[1]}"
line=
read -r -t 60 -u "${DEC[0]}" line || true  # 60 s only guards against a hang
check "live pipe prints at once" "24680" "$(cut -f2 <<<"$line")"
eval "exec ${DEC[1]}>&-"
wait "$dec_pid" 2>/dev/null || true

# Bad input: named, reason given, the other files still decoded, status 1.
printf 'not audio at all\n' >"$work/notes.wav"
"$cli" decode --format tsv "$work/missing.wav" "$work/notes.wav" "$work/calls.wav" >"$work/out" 2>"$work/err"
check "exit status with bad files" "1" "$?"
check "good file still decoded" "3" "$(wc -l <"$work/out")"
check "missing file named" "1" "$(grep -c "missing.wav: No such file or directory" "$work/err")"
check "not audio named" "1" "$(grep -c "notes.wav: not a recognised audio file" "$work/err")"
check "one line per bad file" "2" "$(wc -l <"$work/err")"

# Every tone set: a call as encode writes it (it ends with the file, which
# counts as quiet) decoded back; the standard decoder, asked for a set it
# does not know, leaves it to the enhanced one and says so.
for set in ZVEI1 DZVEI ZVEI2 ZVEI3 PZVEI CCIR EEA EIA; do
  "$cli" encode --mode "$set" -o "$work/set.wav" 1*335 2>/dev/null
  check "$set: encoded call decoded" "1*335" \
    "$("$cli" decode --decoder enhanced --mode "$set" --format tsv "$work/set.wav" | cut -f2)"
done
"$cli" encode --mode CCIR -o "$work/set.wav" 1*335 2>/dev/null
check "CCIR with the standard decoder" "1*335" \
  "$("$cli" decode --decoder standard --mode ccir --format tsv "$work/set.wav" 2>"$work/err" | cut -f2)"
check "CCIR: the note says who decodes" \
  "sequelo-cli: The standard decoder knows ZVEI and DZVEI only: CCIR calls are decoded by the enhanced decoder" \
  "$(cat "$work/err")"
check "ZVEI1 kept as the name given" '"mode":"ZVEI1"' \
  "$("$cli" decode --mode zvei1 --format json "$work/calls.wav" | head -1 | grep -o '"mode":"ZVEI1"')"

# Bad usage: status 2 and the usage text.
"$cli" decode >/dev/null 2>"$work/err"
check "no file: status" "2" "$?"
check "no file: usage" "1" "$(grep -c '^Usage: sequelo-cli decode' "$work/err")"
"$cli" decode --mode CCIR1 "$work/calls.wav" >/dev/null 2>&1
check "unknown mode" "2" "$?"
"$cli" decode --raw 8000 --channel right - </dev/null >/dev/null 2>&1
check "right channel of raw input" "2" "$?"
"$cli" decode --help >"$work/help"
check "help status" "0" "$?"
check "help names the options" "6" "$(grep -c -E -- '--(mode|threshold|channel|raw|format|analysis-log)' "$work/help")"

# Analysis lines go to standard error only.
"$cli" decode --decoder standard --analysis-log "$work/calls.wav" >"$work/out" 2>"$work/err"
check "analysis on stderr" "1" "$( (grep -q 'Tone accepted as digit #5' "$work/err" && echo 1) || echo 0)"
check "codes alone on stdout" "3" "$(wc -l <"$work/out")"

# The enhanced decoder: the same codes; calls 2.5 % off frequency, which the
# standard decoder gets wrong; one analysis line per candidate call.
check "enhanced: same codes" $'12345\n11111\n1*3*5' \
  "$("$cli" decode --decoder enhanced --format tsv "$work/calls.wav" | cut -f2)"
check "enhanced: DZVEI repeat tone" $'11111\n12234' \
  "$("$cli" decode --decoder Enhanced --mode DZVEI --format tsv "$work/dzvei.wav" | cut -f2)"
"$gen" --code 54321 --code 12345 --offset 2.5 --snr 10 "$work/off.wav"
check "enhanced: 2.5 % off frequency" $'54321\n12345' \
  "$("$cli" decode --decoder enhanced --format tsv "$work/off.wav" | cut -f2)"
check "standard: off frequency is not decoded right" "0" \
  "$("$cli" decode --decoder standard --format tsv "$work/off.wav" | cut -f2 | grep -c -E '^(54321|12345)$')"
"$cli" decode --decoder enhanced --analysis-log "$work/off.wav" >"$work/out" 2>"$work/err"
check "enhanced: a line per candidate" "2" "$(grep -c 'Enhanced candidate at .*: accepted' "$work/err")"
"$cli" decode --decoder fancy "$work/off.wav" >/dev/null 2>"$work/err"
check "unknown decoder: usage error" "2" "$?"
check "help explains the framing guard" "1" \
  "$("$cli" decode --help | tr -s ' \n' ' ' | grep -c 'runs straight into a loud tone')"

# The peer decoder reads our test calls too (checks the signal generator).
if command -v multimon-ng >/dev/null; then
  "$gen" --raw --code 12345 --code 11211 --rate 22050 "$work/peer.raw"
  check "multimon-ng reads our calls" $'ZVEI1: 12345\nZVEI1: 1E21E' \
    "$(multimon-ng -q -c -a ZVEI1 -t raw "$work/peer.raw" 2>/dev/null)"
fi

finish
