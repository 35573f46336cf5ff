# The screen kept awake only while the music plays: the X server's saver, set to three seconds,
# never activates during a run with no input and does again while paused and after the run; the
# desktop's screen saver service, faked on a private session bus, is asked to inhibit and to stop.
. "$(dirname "$0")/lib.sh" "$1"
saver() { "$xprobe" saver; }
# saver_during SECONDS: "on" if the saver was seen active, sampling every 0.25 s, else "never".
saver_during() {
  local end=$(( $(date +%s%N) + $1 * 1000000000 ))
  while [ "$(date +%s%N)" -lt "$end" ]; do
    [ "$(saver)" = on ] && { echo on; return; }
    sleep 0.25
  done
  echo never
}
# saver_on_within SECONDS: "on" once the saver activates, else the last state.
saver_on_within() { qv_wait "$1" sh -c "[ \"\$('$xprobe' saver)\" = on ] && echo on" || saver; }
xset s 3 0

# No session bus: the X server's saver alone, and nothing said about the bus.
track 5
env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work" LD_PRELOAD="$demo_preload" "$build/quillvane" >"$work/stdout" 2>"$work/stderr" &
demo=$!
qv_answer no
window >/dev/null
check "the saver stays off while a windowed run plays with no input" "$(saver_during 4)" never
wait_exit 5
check "exit status of the run without a bus" "$status" 0
check "the run without a bus prints nothing" "$(cat "$work/stdout" "$work/stderr")" ""
check "the saver activates again after the end of the music" "$(saver_on_within 5)" on

# A private session bus with a screen saver service, both stopped on the way out.
bus="" fake=""
# A bus stopped by a case is let go first, so that it ends.
cleanup_bus() { kill -CONT $bus 2>/dev/null; kill $fake $bus 2>/dev/null; wait $fake $bus 2>/dev/null; fake="" bus=""; }
trap 'cleanup_bus; cleanup' EXIT
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus" 2>/dev/null &
bus=$!
qv_wait 5 cat "$work/bus" >/dev/null
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus")
# service [refuse] [delay MS]: the fake service, answering or refusing, its calls logged one a line.
service() {
  [ -n "$fake" ] && { kill "$fake"; wait "$fake" 2>/dev/null; }
  "$build/tests/fake_screensaver" "$@" >"$work/calls" &
  fake=$!
  qv_wait 5 grep ready "$work/calls" >/dev/null || fail "the fake service did not start"
}
calls() { grep -v ready "$work/calls" | tr '\n' ' '; }
service

# Fullscreen, where the window library turns the X server's saver off by itself: paused, the
# saver is back; the service is asked to inhibit while playing, to stop on P, and again at SIGTERM.
track 30
start
qv_answer yes
window >/dev/null
qv_wait 5 grep Inhibit "$work/calls" >/dev/null
qv_key p
check "the saver activates while a fullscreen run is paused" "$(saver_on_within 6)" on
qv_key p
sleep 0.5
kill -TERM "$demo"
wait_exit 5
check "SIGTERM exit status" "$status" 0
qv_wait 2 grep "UnInhibit 2" "$work/calls" >/dev/null
check "inhibited while playing, released on P and at SIGTERM" "$(calls)" \
  "Inhibit Quillvane 1 UnInhibit 1 Inhibit Quillvane 2 UnInhibit 2 "
check "the run with a bus prints nothing" "$(cat "$work/stderr")" ""

# A service that answers 2 s late, past any bound of a call: a cookie that comes after P is given
# back at once; P twice while an answer is due asks no second time; an answer still due at SIGTERM
# is waited for and given back before the run leaves the bus.
service delay 2000
track 30
start
qv_answer no
window >/dev/null
qv_wait 5 grep "Inhibit Quillvane 1" "$work/calls" >/dev/null
qv_key p
check "a cookie that comes after P is given back" "$(qv_wait 4 grep -x "UnInhibit 1" "$work/calls")" "UnInhibit 1"
qv_key p
qv_wait 3 grep "Inhibit Quillvane 2" "$work/calls" >/dev/null
qv_key p p
kill -TERM "$demo"
wait_exit 5
check "SIGTERM exit status with a late service" "$status" 0
qv_wait 2 grep "UnInhibit 2" "$work/calls" >/dev/null
check "a late service: one inhibition at a time, each given back" "$(calls)" \
  "Inhibit Quillvane 1 UnInhibit 1 Inhibit Quillvane 2 UnInhibit 2 "

# A service that refuses, then a bus that vanishes mid-run: the run goes on and ends as ever.
service refuse
start
qv_answer no
win=$(window)
qv_wait 5 grep Inhibit "$work/calls" >/dev/null
sleep 0.5
check "a refusing service is asked once while the music plays" "$(calls)" "Inhibit Quillvane 1 "
cleanup_bus
qv_key p
qv_key p
sleep 0.3
check "the run goes on after the bus vanished" "$(qv_wait 3 turning "$win")" turning
qv_key Escape
wait_exit 5
check "exit status after the bus vanished" "$status" 0
check "a refusing, then vanished bus prints nothing" "$(cat "$work/stderr")" ""

# Session and system buses that hang (a bus stopped), and no sound server: the run plays through
# SDL's audio, or the silent clock, and ends with the music.
track 3
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/hung" 2>/dev/null &
bus=$!
qv_wait 5 cat "$work/hung" >/dev/null
kill -STOP "$bus"
hung=$(head -n1 "$work/hung")
echo "autospawn = no" >"$work/client.conf"
env -u SDL_AUDIODRIVER -u PULSE_SERVER DBUS_SESSION_BUS_ADDRESS="$hung" DBUS_SYSTEM_BUS_ADDRESS="$hung" \
  XDG_RUNTIME_DIR="$work" PULSE_CLIENTCONFIG="$work/client.conf" LD_PRELOAD="$demo_preload" \
  "$build/quillvane" 2>"$work/stderr" &
demo=$!
qv_answer no
wait_exit 20
check "exit status with hung buses and no sound server" "$status" 0
cleanup_bus

finish
