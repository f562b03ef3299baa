#!/usr/bin/env bash
# Whole-file decode speed against the peer decoder multimon-ng, on the same
# hour of 22050 Hz s16le mono samples (a ZVEI call a minute in white noise).
# Prints each program's speed as a multiple of real time (best of 3) and the
# ratio. Usage: bench/compare_multimon.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build/release}
cli=$build/app/sequelo-cli
gen=$build/tests/support/sequelo-testsignal
command -v multimon-ng >/dev/null || { echo "multimon-ng is not installed (make deps)" >&2; exit 1; }
work=$(mktemp -d /tmp/sequelo-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

seconds=3600
echo "Writing ${seconds} s of 22050 Hz audio with 60 calls ..." >&2
"$gen" --raw --rate 22050 --code 12345 --repeat 60 --gap 59650 --snr 20 "$work/hour.raw"

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }

best() {  # best NAME COMMAND...: best wall time of 3 runs, in seconds; output in $work/NAME.out
  local name=$1 bestTime= start t
  shift
  for _ in 1 2 3; do
    start=$(now)
    "$@" >"$work/$name.out" 2>/dev/null
    t=$(calc "$(now) - $start")
    if [ -z "$bestTime" ] || [ "$(calc "$t < $bestTime")" = "1.000" ]; then bestTime=$t; fi
  done
  echo "$bestTime"
}

ours=$(best sequelo "$cli" decode --raw 22050 --format tsv "$work/hour.raw")
peer=$(best multimon multimon-ng -q -c -a ZVEI1 -t raw "$work/hour.raw")
ourCodes=$(grep -c 12345 "$work/sequelo.out" || true)
peerCodes=$(grep -c 12345 "$work/multimon.out" || true)
printf '%-26s %8s s %8.0f x real time %4s of 60 calls\n' \
  "sequelo-cli decode --raw" "$ours" "$(calc "$seconds / $ours")" "$ourCodes" \
  "multimon-ng -a ZVEI1" "$peer" "$(calc "$seconds / $peer")" "$peerCodes"
echo "speed ratio sequelo-cli / multimon-ng: $(calc "$peer / $ours")"
