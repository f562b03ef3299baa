#!/usr/bin/env bash
# The desktop program `sequelo` as a user runs it: its help, the start-up
# directory (current, --dir, --data-dir), the headless station it runs
# without a display (a call over TCP comes back through the Loopback
# devices), the window (offscreen) closed by SIGTERM with everything saved,
# and `cmake --install` with the desktop entry and icon.
# Needs SEQUELO (the program) and BUILD_DIR (its build tree).
set -u
prog=$(realpath "${SEQUELO:?}")
build=$(realpath "${BUILD_DIR:?}")
work=$(mktemp -d /tmp/sequelo-window.XXXXXX)
pid=
cleanup() {
  [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/lib.sh"

# Loopback devices whatever sound devices the machine has.
loopback_ini() { printf '[Sequelo]\r\nInputDevice=Loopback\r\nOutputDevice=Loopback\r\n' >"$1/Sequelo.ini"; }
stop() {  # stop SIGNAL: stop the program and wait for it
  kill "-$1" "$pid"
  wait "$pid"
  local rc=$?
  pid=
  return $rc
}

# --help tells the truth.
help=$("$prog" --help)
check "--help exits 0" 0 $?
for word in --dir --data-dir --headless --port DISPLAY; do
  check "--help mentions $word" 1 "$(grep -q -- "$word" <<<"$help" && echo 1)"
done
"$prog" --dir "$work/missing" >/dev/null 2>"$work/err"
check "--dir missing: usage error" 2 $?
check "--dir missing: says why" 1 "$(grep -c 'missing: not a directory' "$work/err")"

# No display: the headless station, in the current directory.
mkdir "$work/station"
loopback_ini "$work/station"
(cd "$work/station" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  "$prog" --port 0 --decoder enhanced >out 2>err) &
pid=$!
wait_until 100 grep -q 'Remote control on port' "$work/station/err"
check "no display: says so" 1 "$(grep -c 'no display' "$work/station/err")"
port=$(sed -n 's/^Remote control on port \([0-9]*\)$/\1/p' "$work/station/err")
reply=$( (printf '12345\r\n'; sleep 3) | socat -t 1 - "TCP:127.0.0.1:$port" | tr -d '\r')
check "a call over TCP comes back decoded (enhanced decoder)" "12345" "$reply"
wait_until 50 grep -q 'Code received: 12345' "$work/station/out"
check "activity on standard output" 1 "$(grep -c 'Code received: 12345' "$work/station/out")"
stop INT
check "Ctrl-C: clean exit" 0 $?
check "log ends with the termination" "Program termination" \
  "$(tail -n1 "$work/station/Sequelo.log" | tr -d '\r' | cut -d' ' -f3-)"
check "settings saved in the current directory" 1 "$(grep -c '^OwnCode=' "$work/station/Sequelo.ini")"
check "--decoder is not saved" 1 "$(grep -c '^Decoder=0' "$work/station/Sequelo.ini")"

# The window (offscreen), started as the desktop menu does: --data-dir.
export XDG_DATA_HOME="$work/data"
QT_QPA_PLATFORM=offscreen "$prog" --data-dir --port 0 >"$work/wout" 2>"$work/werr" &
pid=$!
wait_until 100 grep -q 'Remote control on port' "$work/werr"
check "--data-dir creates the directory" 1 "$( [ -d "$work/data/sequelo" ] && echo 1)"
wait_until 50 grep -q 'Program startup' "$work/data/sequelo/Sequelo.log"
stop TERM
check "SIGTERM closes the window cleanly" 0 $?
check "window: log ends with the termination" "Program termination" \
  "$(tail -n1 "$work/data/sequelo/Sequelo.log" | tr -d '\r' | cut -d' ' -f3-)"
check "window: settings saved in the data directory" 1 \
  "$(grep -c '^Call_1=12345 - Test Code' "$work/data/sequelo/Sequelo.ini")"
unset XDG_DATA_HOME

# cmake --install: the programs, the desktop entry, the icon.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in bin/sequelo bin/sequelo-cli share/applications/sequelo.desktop \
  share/icons/hicolor/scalable/apps/sequelo.svg; do
  check "installs $f" 1 "$( [ -f "$work/prefix/$f" ] && echo 1)"
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$work/prefix/share/applications/sequelo.desktop"
  check "desktop entry is valid" 0 $?
fi
check "desktop entry starts in the data directory" "Exec=sequelo --data-dir" \
  "$(grep '^Exec=' "$work/prefix/share/applications/sequelo.desktop")"
finish
