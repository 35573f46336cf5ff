# Under a window manager: a run that ends minimised, and keys typed into another program. Placement
# and the close button under each manager are the managers test's.
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

# The display closing under a run, as when the session ends: the run ends at once with 1, where the
# threads still running once made it abort.
exec 4>"$work/display"
Xvfb -displayfd 4 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
exec 4>&-
display=:$(qv_wait 5 head -n1 "$work/display")
printf '0\n0\n640\n480\n0\n0\n0\n0\n60\n0\n0' > settings.conf
DISPLAY=$display start "$settings_demo"
DISPLAY=$display window >/dev/null
sleep 0.5
kill "$server"
wait "$server"
wait_exit 5
check "a closed display ends the run with 1" "$status" 1
check "and says so" "$(cat stderr)" "quillvane: the display $display closed"

finish
