#!/usr/bin/env bash
# The systemd unit as configured for installation, checked by
# systemd-analyze verify: a copy whose ExecStart is the built sequelo-cli
# (verify wants the program to exist) must give no complaint about the unit
# and no failure. Skipped without systemd-analyze. Needs SEQUELO_CLI and
# SEQUELO_UNIT (the configured unit).
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
unit=${SEQUELO_UNIT:?}
source "$(dirname "$0")/lib.sh"
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 0
fi
work=$(mktemp -d /tmp/sequelo-unit.XXXXXX)
trap 'rm -rf "$work"' EXIT

check "ExecStart runs the station in /var/lib/sequelo" "1" \
  "$(grep -c -E '^ExecStart=/[^ ]*/sequelo-cli run --dir /var/lib/sequelo$' "$unit")"
sed "s|^ExecStart=[^ ]*|ExecStart=$cli|" "$unit" >"$work/sequelo.service"
# Complaints about a unit's lines are printed, the status stays 0: both count.
SYSTEMD_LOG_TARGET=console systemd-analyze verify "$work/sequelo.service" >"$work/said" 2>&1
check "verify succeeds" "0" "$?"
check "no complaint about the unit" "" "$(grep 'sequelo.service' "$work/said")"
# The check itself: a wrong line is caught.
printf '[Service]\nNoSuchKey=1\n' >>"$work/sequelo.service"
SYSTEMD_LOG_TARGET=console systemd-analyze verify "$work/sequelo.service" >"$work/said" 2>&1
check "a wrong line is caught" "1" "$(grep -c "Unknown key 'NoSuchKey'" "$work/said")"
finish
