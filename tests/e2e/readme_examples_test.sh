#!/usr/bin/env bash
# The README's examples that talk to a running station, taken from README.md
# as written and run against a headless station (sequelo-cli run) started in
# an empty folder: what each prints is what its comment says, the station's
# terminal shows the lines the README names, the README's command string
# brings its calls back, and Ctrl-C ends it with everything saved. The port
# in the examples is replaced by the one the station got. Needs SEQUELO_CLI
# and the sound server's environment (PULSE_SERVER).
set -u
cli=$(realpath "${SEQUELO_CLI:?}")
readme=$(realpath "$(dirname "$0")/../../README.md")
work=$(mktemp -d /tmp/sequelo-readme.XXXXXX)
station=
cleanup() {
  [ -n "$station" ] && kill -TERM "$station" 2>/dev/null && wait "$station" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/lib.sh"
command -v socat >/dev/null || { echo "socat is not installed (scripts/install-deps)"; exit 1; }

readme_port=15286
# Indented example lines that connect to the station's port.
mapfile -t examples < <(grep -E "^    .*socat .*TCP:[^ ]*:$readme_port\b" "$readme")
check "README has station examples" "yes" "$([ ${#examples[@]} -ge 1 ] && echo yes)"
check "one of them says what it prints" "yes" \
  "$(printf '%s\n' "${examples[@]}" | grep -q '# prints .* back' && echo yes)"
# 'The station's terminal shows "..." and "..."' (may run over two lines).
flat=$(tr '\n' ' ' <"$readme")
mapfile -t shown < <(grep -o "terminal shows \"[^\"]*\" and \"[^\"]*\"" <<<"$flat" | grep -o '"[^"]*"' | tr -d '"')
check "README names the terminal's lines" "2" "${#shown[@]}"
command_string=$(grep -o 'e\.g\. *`![^`]*`' <<<"$flat" | head -1 | grep -o '![^`]*')

mkdir "$work/station"
"$cli" run --dir "$work/station" --port 0 >"$work/station/out" 2>"$work/station/err" &
station=$!
wait_until 100 grep -q 'Remote control on port' "$work/station/err" 2>/dev/null
port=$(grep -o 'port [0-9]*' "$work/station/err" | awk '{print $2}')
check "station listening" "yes" "$([ -n "$port" ] && echo yes)"

shown_count() { grep -c -F -x -- "$1" <(cut -d' ' -f3- "$work/station/out" | tr -d '\r'); }
shown_at_least() { [ "$(shown_count "$1")" -ge "$2" ]; }

n=0
for example in "${examples[@]}"; do
  n=$((n + 1))
  cmd=${example#    }
  cmd=${cmd//$readme_port/$port}
  before=()
  for line in "${shown[@]}"; do before+=("$(shown_count "$line")"); done
  printed=$(cd "$work" && timeout 20 bash -c "$cmd" | tr -d '\r')
  if [[ "$example" =~ \#\ prints\ (.*)\ back ]]; then
    check "example $n prints what it says: $example" "${BASH_REMATCH[1]}" "$printed"
  fi
  for i in "${!shown[@]}"; do
    wait_until 50 shown_at_least "${shown[$i]}" $((before[i] + 1))
    check "example $n: the terminal shows \"${shown[$i]}\"" "$((before[i] + 1))" "$(shown_count "${shown[$i]}")"
  done
done

# The command string example, sent as the first example sends its line: its
# calls come back.
check "README has a command string example" "yes" "$([ -n "$command_string" ] && echo yes)"
first=${examples[0]%%#*}
client=${first#*|}
client=${client//$readme_port/$port}
printed=$(cd "$work" && printf '%s\r\n' "$command_string" | timeout 20 bash -c "$client" | tr -d '\r' |
  paste -sd' ')
check "the command string's calls come back" "$(grep -o -E 'C[0-9]{5}' <<<"$command_string" | cut -c2- | paste -sd' ')" \
  "$printed"

# "Ctrl-C ends it with everything saved."
kill -INT "$station"
wait_until 100 grep -q 'Program termination' "$work/station/Sequelo.log" 2>/dev/null
wait "$station"
check "Ctrl-C ends it cleanly" "0" "$?"
station=
check "settings saved" "1" "$(grep -c '^OutputDevice=' "$work/station/Sequelo.ini" 2>/dev/null)"
finish
