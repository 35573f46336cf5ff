# Shell helpers for a private sound server: PulseAudio with one null sink, in a folder of its own,
# whose monitor can be recorded to hear what a person would. Sourced by tests and benchmarks; every
# wait is bounded, and qv_sound_stop ends whatever was started here.
#   qv_sound_start DIR    starts the server (again) in DIR; exports PULSE_SERVER. The sink is stereo,
#                         or has the speakers qv_sound_map names (PulseAudio's channel_map). With
#                         qv_sound_fresh=1 it is as a server just started on a machine with no other
#                         sound: its socket there at once, its sink rendering ahead as it does with no
#                         client (up to two seconds, and rewinds), nothing keeping it short; what its
#                         monitor records is true only once the sink has settled
#   qv_track_zero_at TRACK REC TIMES HEARD SECONDS
#                         the same, judged SECONDS before that run ends
#   qv_sound_kill         ends the server at once, as a crash would
#   qv_sound_record FILE  records the sink's monitor, raw 16-bit stereo at 44.1 kHz, until stopped
#   qv_sound_record_timed FILE TIMES RECORDER
#                         the same with RECORDER (quillvane-record), and in TIMES when each frame was heard
#   qv_track_zero TRACK REC TIMES HEARD
#                         realtime ns at which the track's frame 0 was heard, or would have been, by the
#                         first run of the track in the recording
#   qv_keys_start PRESSKEYS  one process that presses keys on the X server (tests/presskeys.cpp)
#   qv_press KEY          presses KEY into the focused window; prints the realtime ns the server had it
#   qv_sound_stop         stops recordings, key presses, the server and its helpers

qv_sound_pids=()

qv_sound_start() {
  local dir=$1
  mkdir -p "$dir"
  rm -f "$dir/native" "$dir/warm"
  local map=${qv_sound_map:-front-left,front-right}
  local channels=$(( $(tr -cd , <<< "$map" | wc -c) + 1 ))
  if [ "${qv_sound_fresh:-0}" = 1 ]; then
    cat > "$dir/server.pa" <<PA
load-module module-null-sink sink_name=heard rate=44100 channels=$channels channel_map=$map format=s16le
set-default-sink heard
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
PA
    HOME="$dir" XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir" \
      pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
      -F "$dir/server.pa" --log-target=file:"$dir/server.log" >/dev/null 2>&1 &
    qv_sound_server=$!
    qv_sound_pids+=("$qv_sound_server")
    export PULSE_SERVER="unix:$dir/native"
    unset SDL_AUDIODRIVER
    local _
    for _ in $(seq 100); do [ -S "$dir/native" ] && return 0; sleep 0.01; done
    echo "qv_sound_start: the sound server did not start" >&2
    return 1
  fi
  # Clients other than our own silence are let in only once the sink has settled: a new null sink
  # first renders a long block ahead, and its monitor would miss what is played meanwhile.
  cat > "$dir/server.pa" <<PA
load-module module-null-sink sink_name=heard rate=44100 channels=$channels channel_map=$map format=s16le norewinds=1
set-default-sink heard
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/warm
PA
  HOME="$dir" XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    -F "$dir/server.pa" --log-target=file:"$dir/server.log" >/dev/null 2>&1 &
  qv_sound_server=$!
  qv_sound_pids+=("$qv_sound_server")
  local warm="unix:$dir/warm" _ latency=""
  for _ in $(seq 100); do
    PULSE_SERVER=$warm pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  PULSE_SERVER=$warm pactl info >/dev/null 2>&1 || { echo "qv_sound_start: the sound server did not start" >&2; return 1; }
  # A stream of silence keeps the sink running at a short latency, so that its monitor records
  # without a break, as a loudspeaker would play.
  PULSE_SERVER=$warm pacat --raw --format=s16le --rate=44100 --channels=2 --latency-msec=10 /dev/zero >/dev/null 2>&1 &
  qv_sound_pids+=($!)
  for _ in $(seq 60); do
    latency=$(PULSE_SERVER=$warm pactl list sinks 2>/dev/null | awk '/^\tLatency:/ { print $2; exit }')
    [ -n "$latency" ] && [ "$latency" -lt 30000 ] && break
    sleep 0.05
  done
  PULSE_SERVER=$warm pactl load-module module-native-protocol-unix auth-anonymous=1 socket="$dir/native" >/dev/null
  export PULSE_SERVER="unix:$dir/native"
  unset SDL_AUDIODRIVER
}

qv_sound_kill() {
  kill -9 "$qv_sound_server" 2>/dev/null
  wait "$qv_sound_server" 2>/dev/null
}

qv_sound_record() {
  parec --device=heard.monitor --raw --format=s16le --rate=44100 --channels=2 --latency-msec=5 > "$1" &
  qv_sound_pids+=($!)
  sleep 0.2
}

qv_sound_record_timed() {
  "$3" "$1" "$2" &
  qv_sound_pids+=($!)
  sleep 0.3
}

qv_track_zero() {
  local r t
  read -r r t < <("$4" "$1" "$2" | awk '$1 == "music" { print $2, $3; exit }')
  [ -n "$r" ] || return 1
  awk -v k="$r" -v t="$t" -v r=44100 '$1 >= k { printf "%.0f\n", $2 - ($1 - k + t) * 1e9 / r; exit }' "$3"
}

qv_track_zero_at() {
  local r t
  read -r r t < <("$4" "$1" "$2" | awk -v s="$5" '$1 == "music" { k = $4 > s * 44100 ? $4 - s * 44100 : 0; print $2 + k, $3 + k; exit }')
  [ -n "$r" ] || return 1
  awk -v k="$r" -v t="$t" -v r=44100 '$1 >= k { printf "%.0f\n", $2 - ($1 - k + t) * 1e9 / r; exit }' "$3"
}

qv_keys_start() {
  coproc QV_KEYS { "$1"; }
  qv_sound_pids+=("$QV_KEYS_PID")
}

qv_press() {
  local stamp
  echo "$1" >&"${QV_KEYS[1]}"
  read -r -t 5 stamp <&"${QV_KEYS[0]}" && echo "$stamp"
}

qv_sound_stop() {
  local p
  for p in "${qv_sound_pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${qv_sound_pids[@]}"; do wait "$p" 2>/dev/null; done
  qv_sound_pids=()
}
