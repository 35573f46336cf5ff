# Shell helpers for a private sound server: PulseAudio with one null sink, in a folder of its own,
# whose monitor can be recorded to hear what a person would. Sourced by tests and benchmarks; every
# wait is bounded, and qv_sound_stop ends whatever was started here.
#   qv_sound_start DIR    starts the server (again) in DIR; exports PULSE_SERVER. The sink is stereo,
#                         or has the speakers qv_sound_map names (PulseAudio's channel_map)
#   qv_sound_kill         ends the server at once, as a crash would
#   qv_sound_record FILE  records the sink's monitor, raw 16-bit stereo at 44.1 kHz, until stopped
#   qv_sound_stop         stops recordings, the server and its helpers

qv_sound_pids=()

qv_sound_start() {
  local dir=$1
  mkdir -p "$dir"
  rm -f "$dir/native" "$dir/warm"
  local map=${qv_sound_map:-front-left,front-right}
  local channels=$(( $(tr -cd , <<< "$map" | wc -c) + 1 ))
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

qv_sound_stop() {
  local p
  for p in "${qv_sound_pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${qv_sound_pids[@]}"; do wait "$p" 2>/dev/null; done
  qv_sound_pids=()
}
