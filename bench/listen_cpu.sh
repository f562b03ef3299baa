#!/usr/bin/env bash
# CPU used by `sequelo-cli listen` on an idle Loopback input, as a share of
# one core over SECONDS (default 30). Usage: bench/listen_cpu.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-build/release}
seconds=${2:-30}
cli=$build/app/sequelo-cli
"$cli" listen --device Loopback >/dev/null 2>&1 &
pid=$!
trap 'kill -INT $pid 2>/dev/null || true' EXIT
sleep 1  # let it start
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(ticks)
sleep "$seconds"
after=$(ticks)
hz=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" \
  'BEGIN { printf "sequelo-cli listen, idle Loopback input: %.2f %% of one core over %d s (target: under 1 %%)\n", 100 * t / hz / s, s }'
