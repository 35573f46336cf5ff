# Start-up: the question's three answers, the window they give, and the runs that cannot start.
. "$(dirname "$0")/lib.sh" "$1"
track 30

# Cancel: exit 0 before any window exists.
start
qv_answer cancel
wait_exit 5
check "Cancel exit status" "$status" 0
check "Cancel maps no window" "$(qv_window_id)" ""

# No: a fixed 1024x768 drawable area centred on the 1920x1080 screen.
start
qv_answer no
win=$(window)
check "No gives a centred 1024x768 window" "$(qv_geometry "$win")" "448 156 1024 768"
check "the window cannot be resized" "$("$xprobe" resizable "$win")" "no"
check "the title is the program name" "$(title "$win")" "Quillvane"
qv_key Escape
wait_exit 5
check "Escape exit status" "$status" 0

# Yes: fullscreen at the desktop's size, with the cursor hidden over it.
start
qv_answer yes
win=$(window)
check "Yes gives a fullscreen window" "$(qv_geometry "$win")" "0 0 1920 1080"
xdotool mousemove 900 500
sleep 0.3
check "the cursor is hidden in a fullscreen run" "$("$xprobe" cursor)" "hidden"
qv_key Escape
wait_exit 5
check "fullscreen Escape exit status" "$status" 0

# The question from the keyboard alone: the focus moves with Tab and the arrows, Return or Space
# presses the focused button, and Y, N and C choose directly.
while IFS='|' read -r keys answer; do
  [ -n "$keys" ] || continue
  start
  box=$(qv_wait 15 qv_box_id)
  xdotool windowfocus --sync "$box" 2>/dev/null
  xdotool key --delay 20 $keys
  if [ $answer = cancel ]; then
    wait_exit 5
    check "keys $keys give Cancel" "$status" 0
    continue
  fi
  win=$(window)
  case $answer in
    yes) check "keys $keys give Yes" "$(qv_geometry "$win")" "0 0 1920 1080" ;;
    no) check "keys $keys give No" "$(qv_geometry "$win")" "448 156 1024 768" ;;
  esac
  qv_key Escape
  wait_exit 5
done <<'CASES'
Tab Return                      | no
Right Right space               | cancel
Tab Tab ISO_Left_Tab Down Return | cancel
Left Left Return                | no
Up space                        | cancel
n                               | no
y                               | yes
c                               | cancel
CASES

# A Cyrillic layout with a US one as its second group, as Russian desktops have it: the key
# labelled N, which types т here, answers No.
setxkbmap -layout ru,us
start
box=$(qv_wait 15 qv_box_id)
xdotool windowfocus --sync "$box" 2>/dev/null
xdotool key Cyrillic_te
win=$(window) || win=0x1
check "ru,us: the key labelled N gives No" "$(qv_geometry "$win")" "448 156 1024 768"
qv_key Escape
wait_exit 5
setxkbmap us

# The question at the resolution the desktop asks for: at Xft.dpi 192 about twice its size at 96.
size_at() {
  if [ "$1" = 96 ]; then xrdb -remove; else echo "Xft.dpi: $1" | xrdb -merge; fi
  start
  box=$(qv_wait 15 qv_box_id) && qv_geometry "$box" | awk '{ print $3, $4 }'
  qv_answer cancel >/dev/null
  wait_exit 5
}
# Each box gone before the next is measured.
read -r w96 h96 <<< "$(size_at 96)"
read -r w192 h192 <<< "$(size_at 192)"
xrdb -remove
echo "startup: the question is ${w96}x$h96 at 96 dpi and ${w192}x$h192 at 192"
check_between "the question's width at 192 dpi over its width at 96" "$(awk -v a="$w192" -v b="$w96" 'BEGIN { print a / b }')" 1.8 2.5
check_between "the question's height at 192 dpi over its height at 96" "$(awk -v a="$h192" -v b="$h96" 'BEGIN { print a / b }')" 1.8 2.5

# At the highest resolution it takes (Xft.dpi 960) the question still fits the monitor, its
# buttons on it.
echo "Xft.dpi: 960" | xrdb -merge
start
box=$(qv_wait 15 qv_box_id)
read -r bx by bw bh <<< "$(qv_geometry "$box")"
xrdb -remove
echo "startup: the question is ${bw}x$bh at 960 dpi"
check "at 960 dpi the question lies on the 1920x1080 monitor" \
  "$(( bx >= 0 && by >= 0 && bx + bw <= 1920 && by + bh <= 1080 ))" 1
qv_answer cancel
wait_exit 5

# Ctrl+C, SIGTERM or SIGHUP while the question is up: the program ends as Cancel does, at once.
for signal in INT TERM HUP; do
  start
  qv_wait 15 qv_box_id >/dev/null
  t0=$(now)
  kill -$signal "$demo"
  wait_exit 5
  check "SIG$signal during the question: exit status" "$status" 0
  check_between "seconds to end on SIG$signal during the question" "$(elapsed "$t0")" 0 1
  check "SIG$signal during the question maps no window" "$(qv_window_id)" ""
done

# Where no font opens through fontconfig, the question still asks, in the server's own font.
printf '<?xml version="1.0"?>\n<fontconfig></fontconfig>\n' > nofonts.conf
FONTCONFIG_FILE="$work/nofonts.conf" start
qv_answer no
win=$(window) || win=0x1
check "without fonts the question still answers No" "$(qv_geometry "$win")" "448 156 1024 768"
qv_key Escape
wait_exit 5

# No X server at all: the question cannot be shown, which is no Cancel, and then the window library
# cannot start.
t0=$(now)
DISPLAY=:9999 "$build/quillvane" 2>/dev/null
check "exit status with an unreachable X server" "$?" 255
env -u DISPLAY "$build/quillvane" 2>/dev/null
check "exit status without DISPLAY" "$?" 255
check_between "seconds to give up without an X server" "$(elapsed "$t0")" 0 3

finish
