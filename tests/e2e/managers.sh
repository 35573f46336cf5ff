# The same demo under window managers that each behave differently: one run of each checks that the
# window shows centred, that a stored corner comes back exactly run after run, that fullscreen
# covers the screen and stays, and that the manager's close ends the run with 0.
. "$(dirname "$0")/lib.sh" "$1"
track 30

# Each manager in a home of its own, with what it needs to start quietly: fluxbox's wallpaper setter
# puts up a window of its own where it fails, i3 starts a set-up wizard without a configuration,
# and twm needs fonts Xvfb has and placement by the program's position.
mkdir -p "$work/home/.fluxbox" "$work/bin"
mkdir -m 700 "$work/runtime"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/fbsetbg"
chmod +x "$work/bin/fbsetbg"
printf 'font pango:monospace 8\nfocus_follows_mouse no\n' > "$work/i3.conf"
printf 'UsePPosition "on"\nRandomPlacement\n' > "$work/twmrc"
for f in TitleFont ResizeFont MenuFont IconFont IconManagerFont; do echo "$f \"fixed\"" >> "$work/twmrc"; done

# name | command | keeps the asked corner: no where the manager moves it by its own policy
# (jwm keeps a frame clear of its tray). openbox-picom is openbox under a compositor; KWin runs on
# a session bus of its own and composites itself. sway and mutter are Wayland compositors, headless,
# and the demo runs on the XWayland each starts.
managers="
openbox       | openbox --sm-disable | yes
openbox-picom | openbox --sm-disable | yes
fluxbox       | fluxbox              | yes
twm           | twm -f $work/twmrc   | yes
i3            | i3 -c $work/i3.conf  | yes
jwm           | jwm                  | no
metacity      | metacity             | yes
kwin          | dbus-run-session -- kwin_x11 | yes
sway          | start_sway           | no
mutter        | start_mutter         | yes
"

# The Wayland compositors' XWayland displays take the place of the private X server while they run.
xvfb_display=$DISPLAY
xauthority=${XAUTHORITY-}
sway_user=quillvane-test
# sway refuses to run as root: a root test runs it as a system user of its own, made once. The
# user may only pass through the test's folder; the compositor's own lies in a folder of its own.
start_sway() {
  local as=()
  if [ "$(id -u)" = 0 ]; then
    id -u "$sway_user" >/dev/null 2>&1 ||
      useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$sway_user"
    as=(setpriv --reuid="$sway_user" --regid="$sway_user" --clear-groups)
    chmod 711 "$work"
  fi
  mkdir -m 700 "$work/sway"
  # sway starts XWayland when its first X client comes: that client lets this test's user in and
  # names the display.
  printf '%s\n' 'output * mode 1920x1080' \
    "exec xhost +si:localuser:$(id -un) >/dev/null && echo \"\$DISPLAY\" > $work/sway/display.part && mv $work/sway/display.part $work/sway/display" \
    > "$work/sway/config"
  [ ${#as[@]} -gt 0 ] && chown -R "$sway_user:" "$work/sway"
  env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/sway" XDG_RUNTIME_DIR="$work/sway" WLR_BACKENDS=headless \
    WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 "${as[@]}" sway -c "$work/sway/config" >"$work/sway.log" 2>&1 &
  manager=$!
  qv_wait 30 sh -c 'cat "$0" 2>/dev/null' "$work/sway/display" >/dev/null || return
  export DISPLAY
  DISPLAY=$(cat "$work/sway/display")
  unset XAUTHORITY
}
sway_command() { SWAYSOCK=$(echo "$work"/sway/sway-ipc.*.sock) swaymsg "$@"; }
# mutter names its XWayland display and that display's key in the environment of the command it
# runs, and stops when that command ends; the command ends with mutter too.
# HACK: mutter 43 starts the command as its own child (the command watches its parent) and quits
# when the command ends, as tried here; neither is promised in its help.
start_mutter() {
  HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" env -u DISPLAY -u WAYLAND_DISPLAY dbus-run-session -- mutter --wayland --headless --virtual-monitor 1920x1080 -- \
    sh -c 'env > "$0.part" && mv "$0.part" "$0" && exec tail --pid="$PPID" -f /dev/null' "$work/mutter.env" \
    >"$work/mutter.log" 2>&1 &
  manager=$!
  qv_wait 30 sh -c 'cat "$0" 2>/dev/null' "$work/mutter.env" >/dev/null || return
  export DISPLAY XAUTHORITY
  DISPLAY=$(sed -n 's/^DISPLAY=//p' "$work/mutter.env")
  XAUTHORITY=$(sed -n 's/^XAUTHORITY=//p' "$work/mutter.env")
}

manager=""
compositor=""
busy=()
stop_manager() {
  if [ -n "$manager" ]; then
    # mutter ends with the command it runs, and takes its XWayland along, as sway does;
    # dbus-run-session ends its bus once KWin or mutter, its child, is gone.
    local mutter
    mutter=$(pgrep -P "$manager" -x mutter) && pkill -P "$mutter" -x tail
    pkill -P "$manager" 2>/dev/null; kill "$manager" 2>/dev/null; wait "$manager" 2>/dev/null
  fi
  [ -n "$compositor" ] && { kill "$compositor" 2>/dev/null; wait "$compositor" 2>/dev/null; }
  manager="" compositor=""
  export DISPLAY=$xvfb_display
  if [ -n "$xauthority" ]; then export XAUTHORITY=$xauthority; else unset XAUTHORITY; fi
  rm -rf "$work/sway" "$work/mutter.env"
}
# Two busy processes, one for each core, as a person's build beside the demo.
load() { for _ in 1 2; do (while :; do :; done) & busy+=($!); done; }
unload() { [ ${#busy[@]} -gt 0 ] && { kill "${busy[@]}" 2>/dev/null; wait "${busy[@]}" 2>/dev/null; }; busy=(); }
trap 'unload; stop_manager; cleanup' EXIT
# A manager is ready when the window the root names names itself, and a moment later: some name
# it before they take on windows. The name a manager left behind when it was stopped stays on the
# root, on purpose, since the demo must cope with it.
manager_ready() {
  local id
  id=$(xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | awk '/window id/ { print $NF }')
  [ -n "$id" ] && xprop -id "$id" _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "$id" && sleep 0.5 && echo ready
}

settings() { printf '%s\n%s\n1024\n768\n0\n%s\n0\n1\n60\n0\n0' "$1" "$2" "$3" > settings.conf; }
corner() { head -n2 settings.conf | tr '\n' ' '; }
# covered WINDOW GEOMETRY: the window's geometry once it is GEOMETRY, or after 5 s: a manager on a
# busy machine takes a while to place a window or make it fullscreen, as a person sees it settle.
covered() {
  local end=$((SECONDS + 5)) got
  while got=$(qv_geometry "$1") && [ "$got" != "$2" ] && [ "$SECONDS" -lt "$end" ]; do sleep 0.1; done
  echo "$got"
}
viewable() { xwininfo -id "$1" 2>/dev/null | awk '/Map State/ { print $3 }'; }

# close WINDOW: as the manager's close button does. sway closes with its kill command, which its
# keys are bound to, once it shows the window: it takes on an X window a moment after X maps it.
sway_kill() { sway_command -q "[id=$(($1))] kill" 2>/dev/null && echo closed; }
close() {
  if [ "$name" = sway ]; then qv_wait 5 sway_kill "$1" >/dev/null; else "$xprobe" close "$1"; fi
}
# ends RUN HOW: ends the run with a close by the manager or Escape, and checks its exit status.
ends() {
  if [ "$2" = close ]; then close "$win"; else qv_key Escape; fi
  wait_exit 5
  check "$1: exit status after $2" "$status" 0
}

while IFS='|' read -r name command keeps; do
  name=$(echo $name) command=$(echo $command) keeps=$(echo $keeps)
  [ -n "$name" ] || continue
  case " ${MANAGERS:-$name} " in *" $name "*) ;; *) continue ;; esac
  t0=$(now)
  if declare -F "$command" >/dev/null; then
    "$command" || { fail "$name: no XWayland within 30 s: $(tail -n3 "$work/$name.log")"; stop_manager; continue; }
  else
    HOME="$work/home" PATH="$work/bin:$PATH" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb \
      env -u KDE_FULL_SESSION $command >"$work/$name.log" 2>&1 &
    manager=$!
  fi
  if [ "$name" = twm ]; then sleep 1
  else qv_wait 30 manager_ready >/dev/null || fail "$name: did not name itself within 30 s: $(tail -n3 "$work/$name.log")"; fi
  # KWin names itself before it has taken over the screen; it composites once it has.
  if [ "$name" = kwin ]; then
    qv_wait 30 sh -c '[ "$("$0" compositor)" = yes ] && echo up' "$xprobe" >/dev/null ||
      fail "$name: not compositing within 30 s: $(tail -n3 "$work/$name.log")"
  fi
  if [ "$name" = openbox-picom ]; then
    picom --backend xrender >"$work/picom.log" 2>&1 &
    compositor=$!
    qv_wait 10 sh -c '[ "$("$0" compositor)" = yes ] && echo up' "$xprobe" >/dev/null ||
      fail "$name: no compositor: $(tail -n3 "$work/picom.log")"
  fi
  ready=$(elapsed "$t0")
  rm -f settings.conf

  # A first run from the defaults: asked, windowed, centred on the screen.
  start "$settings_demo"
  qv_answer no
  if win=$(window); then
    # KWin, just started, may first show it where its own policy puts it, until the demo moves it.
    check "$name: windowed, centred" "$(covered "$win" "448 156 1024 768")" "448 156 1024 768"
    frame=$("$xprobe" frame "$win")
    ends "$name windowed" close
    check "$name: the corner stored is the frame's" "$(corner)" "$frame "
  else
    fail "$name: no window within 15 s: $(tail -n3 stderr) $(xwininfo -root -tree | grep -i quillvane)"
    wait_exit 0
  fi

  # A stored corner, three runs in a row: each stores the frame a person sees, and none moves it.
  settings 300 250 0
  first=""
  for run in 1 2 3; do
    start "$settings_demo"
    win=$(window) || { fail "$name: run $run: no window"; wait_exit 0; break; }
    sleep 0.3
    frame=$("$xprobe" frame "$win")
    ends "$name run $run" Escape
    check "$name: run $run stores the frame's corner" "$(corner)" "$frame "
    if [ "$run" = 1 ]; then
      first=$frame
      [ "$keeps" = yes ] && check "$name: the stored corner comes back" "$frame" "300 250"
    else
      check "$name: run $run's frame is where run 1's was" "$frame" "$first"
    fi
  done

  # Fullscreen from the question: covers the screen, stays shown, hides the cursor.
  settings 300 250 0
  sed -i '$ s/0$/1/' settings.conf
  start "$settings_demo"
  qv_answer yes
  if win=$(window); then
    check "$name: fullscreen covers the screen" "$(covered "$win" "0 0 1920 1080")" "0 0 1920 1080"
    sleep 1
    check "$name: fullscreen still shown" "$(viewable "$win")" IsViewable
    check "$name: fullscreen stays" "$(covered "$win" "0 0 1920 1080")" "0 0 1920 1080"
    xdotool mousemove 960 540
    check "$name: fullscreen hides the cursor" "$("$xprobe" cursor)" hidden
    ends "$name fullscreen" close
  else
    fail "$name: fullscreen: no window within 15 s"
    wait_exit 0
  fi

  # Fullscreen again with both cores busy: a slow manager still ends up covering the screen.
  load
  start "$settings_demo"
  qv_answer yes
  if win=$(window); then
    check "$name: fullscreen covers the screen under load" "$(covered "$win" "0 0 1920 1080")" "0 0 1920 1080"
    ends "$name fullscreen under load" Escape
  else
    fail "$name: fullscreen under load: no window within 15 s"
    wait_exit 0
  fi
  unload

  # Another client destroys the window on its first MapNotify, fullscreen and windowed: the run ends
  # as the close button ends it, where under fluxbox it once spun in the window library's wait.
  # mutter 43.8 itself often ends there (its GDK error handler takes the BadWindow of its own XInput
  # request on the window gone), and its XWayland with it: under mutter the case tests mutter.
  for answer in yes no; do
    [ "$name" = mutter ] && break
    size="1920 1080"
    [ "$answer" = no ] && size="1024 768"
    "$xprobe" destroy map $size >/dev/null &
    destroyer=$!
    start "$settings_demo"
    qv_answer $answer
    wait "$destroyer"
    destroyed=$(now)
    wait_exit 5
    check "$name: destroyed on its first map ($answer): exit status" "$status" 0
    check_between "$name: destroyed on its first map ($answer): seconds to the exit" "$(elapsed "$destroyed")" 0 1
  done
  echo "$name: ready after $ready s, done after $(elapsed "$t0") s" >&2
  stop_manager
done <<< "$managers"

# The manager killed in the middle of a run, one that publishes frame extents and one that does
# not: the run goes on, Escape ends it with 0, and the corner stored is the one measured at the
# end. With no manager left there is no frame, and the window, moved meanwhile, shows its drawable
# area's corner; the extents a dead manager left on it no longer count.
for name in openbox twm; do
  case " ${MANAGERS:-$name} " in *" $name "*) ;; *) continue ;; esac
  command=$(awk -F'|' -v n="$name" '$1 ~ "^"n" *$" { print $2 }' <<< "$managers")
  HOME="$work/home" PATH="$work/bin:$PATH" $command >"$work/$name-killed.log" 2>&1 &
  manager=$!
  if [ "$name" = twm ]; then sleep 1
  else qv_wait 10 manager_ready >/dev/null; fi
  settings 300 250 0
  start "$settings_demo"
  if ! win=$(window); then fail "$name killed: no window"; wait_exit 0; stop_manager; continue; fi
  sleep 0.5
  kill -9 "$manager"
  wait "$manager" 2>/dev/null
  manager=""
  sleep 0.5
  kill -0 "$demo" 2>/dev/null
  check "$name killed: the run goes on" "$?" 0
  xdotool windowmove --sync "$win" 500 400 2>/dev/null
  check "$name killed: the window shows its corner where it was moved" "$("$xprobe" frame "$win")" "500 400"
  ends "$name killed" Escape
  check "$name killed: the corner stored is the one measured" "$(corner)" "500 400 "
done

# Two monitors over one output, the primary a 1280x1024 one at 640,0: the question, the centred
# window and fullscreen all go to the primary, under openbox.
output=$(xrandr | awk '/ connected/ { print $1; exit }')
xrandr --setmonitor side 640/169x1080/286+0+0 none >/dev/null
xrandr --setmonitor '*main' 1280/339x1024/271+640+0 "$output" >/dev/null
openbox --sm-disable >"$work/openbox-split.log" 2>&1 &
manager=$!
qv_wait 10 manager_ready >/dev/null
rm -f settings.conf
start "$settings_demo"
if box=$(qv_wait 15 qv_box_id); then
  read -r x y w h < <(qv_geometry "$box")
  # Centred as its frame lets it be.
  check_between "split: the question's middle across the primary" "$((x + w / 2))" 1250 1310
  check_between "split: the question's middle down the primary" "$((y + h / 2))" 482 542
fi
qv_answer no
win=$(window) && check "split: windowed, centred on the primary" "$(qv_geometry "$win")" "768 128 1024 768"
ends "split windowed" Escape
start "$settings_demo"
qv_answer yes
win=$(window) && check "split: fullscreen covers the primary" "$(covered "$win" "640 0 1280 1024")" "640 0 1280 1024"
ends "split fullscreen" Escape
stop_manager

finish
