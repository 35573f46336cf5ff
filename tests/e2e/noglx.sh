# An X server without GLX: the window cannot be created, and the run says so with -1.
. "$(dirname "$0")/lib.sh" "$1"
track 5
start
qv_answer no
wait_exit 10
check "exit status without GLX" "$status" 255
check "no window stays behind" "$(qv_window_id)" ""
finish
