# What a person hears, recorded from a private sound server: the whole track with no gap, P and
# Space acting at the server, and the server killed and started again in the middle of a run.
. "$(dirname "$0")/lib.sh" "$1"
. "$(dirname "$0")/../../scripts/soundhelpers.sh"
trap 'qv_sound_stop; cleanup' EXIT
heard="$build/tests/heard"
rate=44100

# segments FILE: the music runs heard, one "RECORDING_AT TRACK_AT FRAMES" a line; anything heard
# that is neither the track nor silence fails the test.
segments() {
  "$heard" track.raw "$1" > heard.txt
  local others
  others=$(grep -c '^other' heard.txt)
  check "nothing but the track and silence is heard in $1" "$others" 0
  awk '$1 == "music" { print $2, $3, $4 }' heard.txt
}
frames_of() { echo $(( $(stat -c %s "$1") / 4 )); }
ms() { awk -v f="$1" -v r="$rate" 'BEGIN { printf "%.1f", f * 1000 / r }'; }

# One run: P, P again, then Space, and on to the end.
qv_sound_start "$work/server"
track 5 --format wav
sox -t wav sample.ogg -t raw track.raw
total=$(frames_of track.raw)
qv_sound_record run.raw
start
qv_answer no
window >/dev/null
sleep 1.2
qv_key p
sleep 0.8
qv_key p
sleep 0.8
qv_key space
wait_exit 15
check "exit status" "$status" 0
check "nothing on stderr" "$(cat "$work/stderr")" ""
sleep 0.3
qv_sound_stop
mapfile -t runs < <(segments run.raw)
check "the track is heard in three runs: to the pause, after it, and from Space on" "${#runs[@]}" 3
[ "${#runs[@]}" -eq 3 ] || { echo "sound: heard (recording frame, track frame, frames):" >&2; grep -v '^silence' heard.txt >&2; awk '$1 == "silence"' heard.txt | sed -n '2,$p' | head -n 5 >&2; }
if [ "${#runs[@]}" -eq 3 ]; then
  read -r r1 t1 n1 <<< "${runs[0]}"
  read -r r2 t2 n2 <<< "${runs[1]}"
  read -r r3 t3 n3 <<< "${runs[2]}"
  echo "sound: first run from track frame $t1 for $(ms "$n1") ms, a pause of $(ms $((r2 - r1 - n1))) ms, on from frame $t2 (stopped at $((t1 + n1))), $(ms $((r3 - r2 - n2))) ms of silence at Space, then from frame $t3 to $((t3 + n3)) of $total"
  check_between "the start: ms of the track not heard" "$(ms "$t1")" 0 3
  check "P resumes on the very frame where it stopped" "$t2" "$((t1 + n1))"
  check_between "the pause, in seconds" "$(awk -v f=$((r2 - r1 - n1)) -v r=$rate 'BEGIN { print f / r }')" 0.6 1.3
  # 0.1 to 2.6 ms here; the 5 ms aimed at, with room for a shared machine.
  check_between "ms of silence inserted at Space" "$(ms $((r3 - r2 - n2)))" 0 8
  check_between "Space: ms of the beginning not heard" "$(ms "$t3")" 0 3
  check "the end is heard to its last frame" "$((t3 + n3))" "$total"
fi

# The server killed mid-run and started again as on a machine with no other sound, for a demo whose
# home and runtime folders are empty: the run goes on silently and in real time, and the music comes
# back where the wall clock says, though the fresh sink first plays up to two seconds of its own.
# Then paused just before its end and the server killed again: the run stays paused, and ends once
# resumed, when the frames the server held unheard have had their time.
qv_sound_start "$work/server"
track 8 --format wav
sox -t wav sample.ogg -t raw track.raw
total=$(frames_of track.raw)
qv_sound_record_timed before.raw before.times "$build/tests/record"
qv_keys_start "$build/tests/presskeys"
mkdir -p "$work/home" "$work/runtime"
HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config" start
qv_answer no
win=$(window)
xdotool windowfocus --sync "$win" 2>/dev/null
sleep 2
qv_sound_kill
sleep 1
qv_sound_fresh=1 qv_sound_start "$work/server"
qv_sound_record_timed after.raw after.times "$build/tests/record"
zero1=$(qv_track_zero track.raw before.raw before.times "$heard")
if [ -n "$zero1" ]; then
  # P where 150 ms of the track are left by the wall clock, at the next frame drawn: the server holds
  # the end by then.
  sleep "$(awk -v z="$zero1" -v n="$total" -v r=$rate -v t="$(date +%s%N)" 'BEGIN { s = (z + n * 1e9 / r - 0.15e9 - t) / 1e9; print (s > 0 ? s : 0) }')"
  paused_at=$(qv_press p)
  sleep 0.3
  qv_sound_kill
  sleep 1
  check "paused near the end, server killed: still running a second later" "$(kill -0 "$demo" 2>/dev/null && echo running)" running
  resumed_at=$(qv_press p)
  wait_exit 5
  ended_at=$(date +%s%N)
  check "paused near the end, server killed: exit status" "$status" 0
  check "server killed twice: nothing on stderr" "$(cat "$work/stderr")" ""
  # Judged half a second before the pause: until the fresh sink has settled its monitor gives what
  # it renders ahead.
  zero2=$(qv_track_zero_at track.raw after.raw after.times "$heard" 0.5)
  behind=$(awk -v a="$zero1" -v b="${zero2:-0}" 'BEGIN { printf "%.1f", (b - a) / 1e6 }')
  echo "sound: after the server came back the music was $behind ms behind the wall clock"
  check_between "server started again: ms the music is behind the wall clock" "$behind" -30 30
  mapfile -t runs < <(segments after.raw)
  read -r r1 t1 n1 <<< "${runs[0]:-0 0 0}"
  left=$(awk -v n="$total" -v e="$((t1 + n1))" -v r=$rate 'BEGIN { printf "%.1f", (n - e) * 1000 / r }')
  echo "sound: paused with $left ms left"
  check "after the server's return, no gap up to the pause" "${#runs[@]}" 1
  check_between "ms of the track left at the pause, held by the server" "$left" 1 185
  # From P again: the frames never heard, then the wait for the next frame and the exit, which take
  # up to 200 ms on a busy 2-core machine (the music service's own part is within 5 ms).
  check_between "ms from P again to the end, beyond what was left" \
    "$(awk -v a="$resumed_at" -v b="$ended_at" -v l="$left" 'BEGIN { print (b - a) / 1e6 - l }')" -5 300
  check_between "ms the run lasted beyond the track and the pause" \
    "$(awk -v z="$zero1" -v e="$ended_at" -v n="$total" -v r=$rate -v p="$paused_at" -v q="$resumed_at" \
      'BEGIN { print (e - z - n * 1e9 / r - (q - p)) / 1e6 }')" -30 300
else
  fail "the music was not heard both before the server was killed and after it came back"
  { echo "before:"; "$heard" track.raw before.raw; echo "after:"; "$heard" track.raw after.raw; } | grep -v '^silence' >&2
  wait_exit 10
fi
qv_sound_stop

# A driver that stops calling back (SDL's own, on a server that freezes): the clock goes on and the run
# ends on time.
qv_sound_start "$work/server"
track 4 --format wav
SDL_AUDIODRIVER=pulseaudio start
qv_answer no
window >/dev/null
t0=$(now)
sleep 1
kill -STOP "$qv_sound_server"
sleep 1
kill -CONT "$qv_sound_server"
wait_exit 10
check "a frozen driver: exit status" "$status" 0
check_between "a frozen driver: seconds the run lasted" "$(elapsed "$t0")" 3.7 4.4
qv_sound_stop

finish
