#!/usr/bin/env bash
# The transmitter released however the station ends, over ROUNDS rounds
# (default 1000): tests/e2e/cli_terminations_test.sh with BUILD_DIR's
# sequelo-cli, on a private sound server. Prints the rounds by way of ending,
# how many ended while keyed, and the time from the signal to the end.
# Usage: bench/terminations.sh [BUILD_DIR] [ROUNDS]
set -euo pipefail
build=${1:-build/release}
rounds=${2:-1000}
root=$(cd "$(dirname "$0")/.." && pwd)
sound=$(mktemp -d /tmp/sequelo-bench-sound.XXXXXX)
trap '"$root/scripts/sound-server" stop "$sound" >/dev/null 2>&1 || true' EXIT
set -a
eval "$("$root/scripts/sound-server" start "$sound")"
set +a
SEQUELO_CLI="$build/app/sequelo-cli" bash "$root/tests/e2e/cli_terminations_test.sh" "$rounds"
