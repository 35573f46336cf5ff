# Two runs for the sanitizer build: one to the end of a short track, one with every key pressed.
# Any sanitizer report fails the run.
. "$(dirname "$0")/lib.sh" "$1"

clean_stderr() {
  if grep -q -E 'runtime error|AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|ThreadSanitizer' stderr; then
    fail "$1: sanitizer report"
    cat stderr >&2
  else
    pass
  fi
}

track 2
start
qv_answer no
wait_exit 20
check "to the end of the track: exit status" "$status" 0
clean_stderr "to the end of the track"

track 30
start
qv_answer no
window >/dev/null
qv_key i 3 5 6 p space p i space
sleep 1.5
qv_key Escape
wait_exit 20
check "with keys: exit status" "$status" 0
clean_stderr "with keys"

finish
