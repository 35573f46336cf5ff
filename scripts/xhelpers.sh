# Shell helpers to find the demo's windows on an X server and answer its start-up question.
# Sourced by scripts and tests; every wait is bounded.

# The start-up question's box has the class "question"; the demo's window has the program's name as
# its class, whatever its title says. Only a mapped window counts: the demo creates its window
# hidden and places it before showing it, and a manager places the box before mapping it.
qv_mapped() {
  local id
  for id in $(xwininfo -root -tree 2>/dev/null | awk -v class="$1" 'index($0, ": (" class ")") {print $1}'); do
    xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' && { echo "$id"; return; }
  done
}
qv_box_id() { qv_mapped '"question" "Quillvane"'; }
qv_window_id() { qv_mapped '"Quillvane" "Quillvane"'; }

# qv_wait SECONDS COMMAND...: runs COMMAND until it prints something, for at most SECONDS.
qv_wait() {
  local limit=$1; shift
  local end=$(( $(date +%s%N) + limit * 1000000000 )) out
  while [ "$(date +%s%N)" -lt "$end" ]; do
    out=$("$@")
    if [ -n "$out" ]; then echo "$out"; return 0; fi
    sleep 0.05
  done
  return 1
}

# Prints "X Y W H" of a window's drawable area in root coordinates. Without an id xwininfo would wait
# for a click, so a window that never appeared fails here instead of hanging the caller.
qv_geometry() {
  [ -n "$1" ] || { echo "qv_geometry: no window" >&2; return 1; }
  xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}'
}

# qv_answer yes|no|cancel: waits for the question and answers it as a person would: Return on the
# focused Yes, a click on No, Escape for Cancel.
qv_answer() {
  local box x y w h
  box=$(qv_wait 15 qv_box_id) || { echo "qv_answer: no question appeared" >&2; return 1; }
  xdotool windowactivate --sync "$box" 2>/dev/null || xdotool windowfocus --sync "$box" 2>/dev/null || true
  case "$1" in
    yes) xdotool key Return ;;
    cancel) xdotool key Escape ;;
    no)
      # No is the middle of three 80-pixel buttons, right-aligned 18 pixels in from the box's edges.
      # Clicked where the box has settled, as a person would; again while it stays up, since a
      # manager that is still placing or fading it in may not pass the first click on.
      local tries before=""
      for tries in 1 2 3; do
        while read -r x y w h < <(qv_geometry "$box") && [ "$x $y $w $h" != "$before" ]; do
          before="$x $y $w $h"
          sleep 0.2
        done
        xdotool mousemove $((x + w - 148)) $((y + h - 32)) click 1
        qv_wait 2 sh -c 'xwininfo -id "$0" >/dev/null 2>&1 && [ "$(xwininfo -id "$0" | awk "/Map State/ { print \$3 }")" = IsViewable ] || echo gone' "$box" >/dev/null && break
      done ;;
  esac
}

# qv_key KEY...: gives the demo's window the focus and presses the keys.
qv_key() {
  local win
  win=$(qv_window_id)
  [ -n "$win" ] || return 1
  xdotool windowfocus --sync "$win" 2>/dev/null || true
  xdotool key --delay 30 "$@"
}
