# Every channel on its own speaker: a 5.1 Ogg Vorbis file, a tone of its own on each channel, played
# by the demo to a 5.1 sink of a private sound server, through the server's stream and through SDL's
# audio on the same server; each speaker recorded must carry its own tone and no other.
. "$(dirname "$0")/lib.sh" "$1"
. "$(dirname "$0")/../../scripts/soundhelpers.sh"
trap 'qv_sound_stop; cleanup' EXIT

map=front-left,front-right,front-center,lfe,rear-left,rear-right
# The tones in the sink's order; the file holds them in the Vorbis order (FL C FR RL RR LFE).
tones=(300 700 500 80 900 1100)
"$(dirname "$0")/../tracks/classes.sh" tracks >/dev/null
cp tracks/surround.ogg sample.ogg

# heard LABEL [ENV...]: one run, recorded; checks the tone on every speaker.
heard() {
  local label=$1
  shift
  qv_sound_map=$map qv_sound_start "$work/server"
  parec --device=heard.monitor --raw --format=s16le --rate=44100 --channels=6 --channel-map=$map \
    --latency-msec=5 > "$label.raw" &
  qv_sound_pids+=($!)
  sleep 0.2
  env "$@" LD_PRELOAD="$demo_preload" "$build/quillvane" 2>"$work/stderr" &
  demo=$!
  qv_answer no
  wait_exit 10
  check "$label: exit status" "$status" 0
  sleep 0.2
  qv_sound_stop
  local c
  for c in 0 1 2 3 4 5; do
    # The strongest frequency of the middle second of the sound, in bins of 10.8 Hz.
    local f
    f=$(sox -t raw -r 44100 -e signed -b 16 -c 6 "$label.raw" -n remix $((c + 1)) silence 1 0.01 1% trim 0.5 1 \
      stat -freq 2>&1 | awk 'NF == 2 && $1 + 0 > 0 && $2 + 0 > best { best = $2 + 0; at = $1 } END { printf "%d", at }')
    check_between "$label: the tone on ${map//,/ } speaker $((c + 1)) (Hz)" "${f:-0}" $((tones[c] - 12)) $((tones[c] + 12))
  done
}

heard server
heard sdl SDL_AUDIODRIVER=pulseaudio
finish
