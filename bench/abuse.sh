#!/usr/bin/env bash
# The headless station under remote-control abuse for SECONDS (default 3600):
# tests/e2e/cli_abuse_test.sh with BUILD_DIR's sequelo-cli, on a private
# sound server. Prints client 1's round trips (median, max), the garbage rate
# reached, the churn and idle connections, the station's largest VmRSS and
# its log folder's largest size.
# Usage: bench/abuse.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-build/release}
seconds=${2:-3600}
root=$(cd "$(dirname "$0")/.." && pwd)
sound=$(mktemp -d /tmp/sequelo-bench-sound.XXXXXX)
trap '"$root/scripts/sound-server" stop "$sound" >/dev/null 2>&1 || true' EXIT
set -a
eval "$("$root/scripts/sound-server" start "$sound")"
set +a
SEQUELO_CLI="$build/app/sequelo-cli" bash "$root/tests/e2e/cli_abuse_test.sh" "$seconds"
