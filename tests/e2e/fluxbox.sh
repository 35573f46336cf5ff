# A window manager that advertises frame extents but never sets them, and takes the focus away for
# a moment while it makes a window fullscreen: the window still shows, and stays fullscreen.
. "$(dirname "$0")/lib.sh" "$1"
# In a home of its own, and with its wallpaper setter stubbed: where that fails it puts up a window
# of its own that takes the focus.
mkdir -p "$work/home" "$work/bin"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/fbsetbg"
chmod +x "$work/bin/fbsetbg"
HOME="$work/home" PATH="$work/bin:$PATH" fluxbox >"$work/fluxbox.log" 2>&1 &
manager=$!
trap 'kill "$manager" 2>/dev/null; wait "$manager" 2>/dev/null; cleanup' EXIT
qv_wait 10 sh -c "xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep 'window id'" >/dev/null
track 30

start
qv_answer no
win=$(window) || { fail "windowed: no window within 15 s"; finish; exit; }
check "windowed: the window shows, centred" "$(qv_geometry "$win")" "448 156 1024 768"
qv_key Escape
wait_exit 5
check "windowed: exit status" "$status" 0

start
qv_answer yes
win=$(window) || { fail "fullscreen: no window within 15 s"; finish; exit; }
sleep 1.5
check "fullscreen: still shown after the manager's focus change" "$(xwininfo -id "$win" | awk '/Map State/ { print $3 }')" IsViewable
check "fullscreen: covers the screen" "$(qv_geometry "$win")" "0 0 1920 1080"
qv_key Escape
wait_exit 5
check "fullscreen: exit status" "$status" 0

finish
