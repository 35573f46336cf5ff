# Two runs for the sanitizer build: one to the end of a short track, one with every key pressed on a
# private sound server that is killed before the end, so that the server's thread, the change to the
# silent clock and the caller's reads are all checked. Any sanitizer report fails the run.
# The checker's runtime is for the demo, not for this shell: bash's own leaks in the subshells of the
# sound helpers would be reported as the run's.
if [ -n "${LD_PRELOAD:-}" ]; then exec env -u LD_PRELOAD QV_DEMO_PRELOAD="$LD_PRELOAD" bash "$0" "$@"; fi
. "$(dirname "$0")/lib.sh" "$1"
demo_preload=${QV_DEMO_PRELOAD:-}
. "$(dirname "$0")/../../scripts/soundhelpers.sh"
trap 'qv_sound_stop; cleanup' EXIT

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

qv_sound_start "$work/server"
track 30
start
qv_answer no
window >/dev/null
qv_key i 3 5 6 p space p i space
sleep 1.5
qv_sound_kill
sleep 0.5
qv_key Escape
wait_exit 20
check "with keys: exit status" "$status" 0
clean_stderr "with keys"

# The settings build with every field at a 32-bit limit: no arithmetic on them may overflow. Such a
# size fails the window's creation; with a size that fits, the run goes on with the other limits.
limits='2147483647\n-2147483648\n%s\n%s\n-2147483648\n-2147483648\n2147483647\n-2147483648\n2147483647\n2147483647\n-2147483648'
printf "$limits" 2147483647 -2147483648 > settings.conf
start "$settings_demo"
wait_exit 20
check "settings at their limits: exit status" "$status" 255
clean_stderr "settings at their limits"
printf "$limits" 1024 768 > settings.conf
start "$settings_demo"
window >/dev/null
qv_key Escape
wait_exit 20
check "settings at their limits but the size: exit status" "$status" 0
clean_stderr "settings at their limits but the size"

finish
