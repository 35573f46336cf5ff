# The keys and the title status line, on the real binary: I, 3, P, Space, I, Escape.
. "$(dirname "$0")/lib.sh" "$1"
track 16
# Without multisampling: with it, Mesa's software rasteriser needs about 17 ms a frame here, and the
# counts at 60 would measure the rasteriser rather than the demo. Otherwise the defaults.
printf '0\n0\n1024\n768\n1\n0\n0\n1\n60\n0\n1' > settings.conf
start "$settings_demo"
qv_answer no
win=$(window)

fps() { title "$win" | sed -n 's/^Quillvane - \([0-9]*\) FPS - [0-9][0-9]*:[0-9][0-9] \/ 00:16$/\1/p'; }
position() { title "$win" | sed -n 's/^.* FPS - \([0-9]*\):\([0-9]*\) .*$/\1 \2/p' | awk '{ print $1 * 60 + $2 }'; }

qv_key i
sleep 2.3
at60=$(fps)
check_between "frames per second shown at 60" "${at60:-0}" 50 70

qv_key 5
sleep 2.3
at50=$(fps)
check_between "frames per second shown at 50" "${at50:-0}" 40 58

# The keys follow the layout switched while the demo runs. A digit is its top-row key on every
# layout: AZERTY's, which types " unshifted.
setxkbmap fr
qv_key quotedbl
sleep 2.3
at30=$(fps)
check_between "frames per second shown at 30 after AZERTY's top-row 3" "${at30:-0}" 25 35
echo "keys: the title showed $at60, $at50 and $at30 frames per second at 60, 50 and 30"

# A letter is the key that types it: on Dvorak, L sits where a US keyboard has P, and P where it
# has R.
setxkbmap dvorak
qv_key l
check "Dvorak: the key at the US P position does not pause" "$(turning "$win")" turning
qv_key p
sleep 1.3
held=$(position)
picture=$(picture "$win")
sleep 2.1
check "Dvorak's P holds the position" "$(position)" "$held"
check "Dvorak's P holds the picture" "$(picture "$win")" "$picture"

qv_key p
sleep 2.3
check_between "P again resumes the position" "$(position)" $((held + 1)) $((held + 3))

# A key counts in the layout in force when it was pressed: the key at the US P position (code 33),
# then a switch to the Dvorak group, where that key types L, read in the same frame: P.
setxkbmap -layout us,dvorak
xdotool windowfocus --sync "$win" 2>/dev/null
printf '33\nlock 1\n' | "$build/tests/presskeys" >/dev/null
sleep 1.3
held=$(position)
sleep 2.1
check "US P pressed before a switch to Dvorak in the same frame holds the position" "$(position)" "$held"
setxkbmap dvorak
qv_key p

qv_key space
sleep 1.2
check_between "Space restarts the music" "$(position)" 0 1

qv_key i
sleep 0.3
check "I again restores the title" "$(title "$win")" "Quillvane"

qv_key Escape
wait_exit 5
check "exit status" "$status" 0
finish
