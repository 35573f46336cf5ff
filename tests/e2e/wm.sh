# Under a window manager: a run that ends minimised, one whose window another client destroys or
# xkill ends, and keys typed into another program. Placement and the close button under each
# manager are the managers test's. Then on a server of its own: a manager's check window that does
# not name itself, the session's signals while the server does not answer, and the display closing
# under a run.
. "$(dirname "$0")/lib.sh" "$1"
track 30

# A run that ends minimised keeps the place it started with.
track 3
printf '300\n250\n1024\n768\n0\n0\n0\n1\n60\n0\n0' > settings.conf
start "$settings_demo"
win=$(window)
sleep 0.3
xdotool windowmove "$win" 500 400
sleep 0.3
xdotool windowminimize --sync "$win"
wait_exit 10
check "minimised run exit status" "$status" 0
check "a minimised end keeps the stored place" "$(head -n2 settings.conf | tr '\n' ' ')" "300 250 "

# Another client destroying the window (xdotool windowclose) ends the run as the close button does,
# where the first error on it once made the run abort; the stored place stays the one measured last.
# Under glibc's malloc checker: the GL driver once wrote past its buffers for the window gone.
track 30
printf '300\n250\n1024\n768\n0\n0\n0\n1\n60\n0\n0' > settings.conf
for run in 1 2 3; do
  demo_preload=libc_malloc_debug.so.0 GLIBC_TUNABLES=glibc.malloc.check=3 start "$settings_demo"
  win=$(window)
  sleep 1
  xdotool windowclose "$win"
  wait_exit 5
  check "a window destroyed by another client, run $run: exit status" "$status" 0
  check "a window destroyed by another client, run $run: nothing said" "$(cat stderr)" ""
done
check "a window destroyed by another client keeps the stored place" "$(head -n2 settings.conf | tr '\n' ' ')" "300 250 "

# Destroyed as it is made, before anything follows it: the run ends at once all the same, where the
# window library's wait for it once spun for good.
"$xprobe" destroy create 1024 768 >destroyed &
destroyer=$!
sleep 0.3
start "$settings_demo"
t0=$(now)
wait_exit 5
wait "$destroyer"
check "destroyed as it is made: the window was destroyed" "$(cat destroyed)" destroyed
check "destroyed as it is made: exit status" "$status" 0
check_between "destroyed as it is made: seconds to the exit" "$(elapsed "$t0")" 0 1

# xkill ends the window's connection, the display staying: the run ends as the close button does,
# and the stored place is the one measured last, where it once read as the display lost.
start "$settings_demo"
win=$(window)
sleep 0.5
xdotool windowmove --sync "$win" 500 400
sleep 0.3
frame=$("$xprobe" frame "$win")
xkill -id "$win" >/dev/null
wait_exit 5
check "xkill: exit status" "$status" 0
check "xkill: nothing said" "$(cat stderr)" ""
check "xkill: the stored place is the one measured last" "$(head -n2 settings.conf | tr '\n' ' ')" "$frame "

# Keys typed into another program while the demo is behind it never act on the demo.
track 30
start
qv_answer no
win=$(window)
other_program
sleep 0.3
xdotool key --delay 50 i p 3 Escape
sleep 0.5
kill -0 "$demo" 2>/dev/null
check "Escape in another program leaves the demo running" "$?" 0
xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
sleep 1.5
check "I typed elsewhere never shows the status line" "$(title "$win")" "Quillvane"
check "P typed elsewhere never pauses the cube" "$(turning "$win")" turning
qv_key Escape
wait_exit 5
check "exit status" "$status" 0
kill "$other" 2>/dev/null

# A server of the test's own, reset when its last client leaves.
exec 4>"$work/display"
Xvfb -displayfd 4 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
# Stopped below for a while: let go and ended whatever happens.
trap 'kill -CONT "$server" 2>/dev/null; kill "$server" 2>/dev/null; cleanup' EXIT
exec 4>&-
display=:$(qv_wait 5 head -n1 "$work/display")

# The layer's atoms belong to the connection that asked: after the server reset under the demo as
# its only client, the next connection's are its own, not numbers the server has given to others.
check "atoms after a reset of the server" "$(DISPLAY=$display "$build/tests/xatoms" | tr '\n' ' ')" \
  "_NET_SUPPORTING_WM_CHECK _NET_FRAME_EXTENTS _NET_WM_STATE_FULLSCREEN "

# A running manager whose check window does not name itself back is a manager all the same: the
# root keeps its name, where the demo once deleted it as a dead manager's.
DISPLAY=$display xmessage -name check "check window" &
checker=$!
checkwin=$(DISPLAY=$display qv_wait 10 sh -c "xwininfo -root -tree | awk '/\"check\"/ {print \$1; exit}'")
DISPLAY=$display "$xprobe" checkwindow "$checkwin"
named() { DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK | awk '{ print $NF }'; }
check "the test's manager is named on the root" "$(named)" "$checkwin"

# Ctrl+C, logout or kill while the start-up waits on a server that does not answer (stopped): the
# start-up goes no further once it answers, no window is made, and the run ends with 0.
printf '0\n0\n640\n480\n0\n0\n0\n0\n60\n0\n0' > settings.conf
DISPLAY=$display "$xprobe" destroy create 640 480 >made &
watcher=$!
sleep 0.5
kill -STOP "$server"
DISPLAY=$display start "$settings_demo"
sleep 0.5
kill -TERM "$demo"
kill -CONT "$server"
wait_exit 5
kill "$watcher" 2>/dev/null
wait "$watcher"
check "SIGTERM during the start-up: exit status" "$status" 0
check "SIGTERM during the start-up: no window made" "$(cat made)" ""

# A second SIGTERM ends the process at once, whatever it waits in: here a frame's round trip to the
# stopped server, which the first one cannot end.
DISPLAY=$display start "$settings_demo"
DISPLAY=$display window >/dev/null
kill -STOP "$server"
sleep 0.3
kill -TERM "$demo"
sleep 0.3
kill -TERM "$demo"
wait_exit 1
kill -CONT "$server"
check "a second SIGTERM ends the run at once" "$status" 143

# The display closing under a run, as when the session ends: the run ends at once with 1, where the
# threads still running once made it abort.
printf '0\n0\n640\n480\n0\n0\n0\n0\n60\n0\n0' > settings.conf
DISPLAY=$display start "$settings_demo"
DISPLAY=$display window >/dev/null
check "a running manager's name stays on the root" "$(named)" "$checkwin"
sleep 0.5
kill "$server"
wait "$server"
wait_exit 5
check "a closed display ends the run with 1" "$status" 1
check "and says so" "$(cat stderr)" "quillvane: the display $display closed"

finish
