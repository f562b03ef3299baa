# Shared by the end-to-end scripts: `check NAME EXPECTED ACTUAL` counts a
# pass or prints the difference; `finish` prints the tally and sets the status;
# `wait_until TENTHS COMMAND...` waits for a command to succeed.
passed=0
failed=0

check() {
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# Bounded wait (in tenths of a second) until a command succeeds.
wait_until() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  return 1
}
