# The music drives the run: it ends the demo, Escape ends it only from the demo's own window, and a
# track that cannot be played ends it at once with a word of why.
. "$(dirname "$0")/lib.sh" "$1"

# A 2 s track: the run lasts as long as the music, and exits 0.
track 2
start
qv_answer no
window >/dev/null
t0=$(now)
wait_exit 10
took=$(elapsed "$t0")
check "exit status at the end of the music" "$status" 0
check_between "seconds from the window to the exit, 2 s track" "$took" 1.85 2.3
echo "music: a 2 s track ended the run $took s after its window appeared"

# Escape typed into another window does nothing; typed into the demo's it ends the run.
track 30
start
qv_answer no
win=$(window)
other_program
xdotool key Escape
sleep 1
kill -0 "$demo" 2>/dev/null
check "Escape in another window leaves the demo running" "$?" 0
qv_key Escape
wait_exit 5
check "Escape in the demo's window, exit status" "$status" 0
kill "$other" 2>/dev/null

# No sample.ogg: the run ends at once, with the reason on stderr.
rm -f sample.ogg
start
qv_answer no
wait_exit 5
check "exit status without sample.ogg" "$status" 0
check "the reason" "$(cat stderr)" "quillvane: cannot play sample.ogg: No such file or directory"

finish
