# Every channel on the speaker its file names: files with a tone of their own on each channel, played
# by the demo to sinks of a private sound server, whose monitors are recorded.
#   A 5.1 Ogg Vorbis on a 5.1 sink, through the server's stream and through SDL's audio on the same
#   server: each speaker carries its own tone and no other.
#   Height channels: a WavPack of front left, front right and the two top fronts on a stereo and a
#   5.1 sink, and a 5.1.2 WAV on a 5.1 sink through the server's stream and through SDL's audio.
#   The heights are heard on their own side, never on the LFE, and on the centre no louder than the
#   fronts' own sound is; the other channels keep their level (the sides are not pushed down to make
#   room for the heights).
. "$(dirname "$0")/lib.sh" "$1"
. "$(dirname "$0")/../../scripts/soundhelpers.sh"
trap 'qv_sound_stop; cleanup' EXIT

surround=front-left,front-right,front-center,lfe,rear-left,rear-right
stereo=front-left,front-right
"$(dirname "$0")/../tracks/classes.sh" tracks >/dev/null

# play FILE LABEL MAP [ENV...]: one run of the demo on FILE, the sink of MAP's speakers recorded in
# LABEL.raw.
play() {
  local file=$1 label=$2 map=$3
  shift 3
  cp "$file" sample.ogg
  qv_sound_map=$map qv_sound_start "$work/server"
  parec --device=heard.monitor --raw --format=s16le --rate=44100 --channels=$(( $(tr -cd , <<< "$map" | wc -c) + 1 )) \
    --channel-map=$map --latency-msec=5 > "$label.raw" &
  qv_sound_pids+=($!)
  sleep 0.2
  env "$@" LD_PRELOAD="$demo_preload" "$build/quillvane" 2>"$work/stderr" &
  demo=$!
  qv_answer no
  wait_exit 10
  check "$label: exit status" "$status" 0
  sleep 0.2
  qv_sound_stop
}

# The 5.1 Vorbis: the strongest frequency of the middle second on each speaker, in bins of 10.8 Hz.
tones=(300 700 500 80 900 1100)
for output in server sdl; do
  play tracks/surround.ogg "$output" $surround $([ $output = sdl ] && echo SDL_AUDIODRIVER=pulseaudio)
  for c in 0 1 2 3 4 5; do
    f=$(sox -t raw -r 44100 -e signed -b 16 -c 6 "$output.raw" -n remix $((c + 1)) silence 1 0.01 1% trim 0.5 1 \
      stat -freq 2>&1 | awk 'NF == 2 && $1 + 0 > 0 && $2 + 0 > best { best = $2 + 0; at = $1 } END { printf "%d", at }')
    check_between "$output: the tone on ${surround//,/ } speaker $((c + 1)) (Hz)" "${f:-0}" $((tones[c] - 12)) $((tones[c] + 12))
  done
done

# levels LABEL CHANNELS: LABEL.levels, a line "speaker tone dB" for each of the file's tones on each
# speaker recorded over a second of the sound (Goertzel; 0 dB is the tone as the file holds it, -120
# stands for nothing).
levels() {
  sox -t raw -r 44100 -e signed -b 16 -c "$2" "$1.raw" -t dat - silence 1 0.01 1% trim 0.3 1 | awk -v ch="$2" -v list="${freqs[*]}" '
    BEGIN { nf = split(list, f, " "); for (k = 1; k <= nf; k++) coeff[k] = 2 * cos(2 * atan2(0, -1) * f[k] / 44100) }
    /^;/ { next }
    { n++; for (c = 1; c <= ch; c++) for (k = 1; k <= nf; k++) { s = $(c + 1) + coeff[k] * s1[c, k] - s2[c, k]; s2[c, k] = s1[c, k]; s1[c, k] = s } }
    END { for (c = 1; c <= ch; c++) for (k = 1; k <= nf; k++) {
            p = s1[c, k] ^ 2 + s2[c, k] ^ 2 - coeff[k] * s1[c, k] * s2[c, k]; a = 2 * sqrt(p > 0 ? p : 0) / n
            printf "%d %d %.1f\n", c, f[k], (a > 0.0005 ? 20 * log(a / 0.5) / log(10) : -120) } }' > "$1.levels"
}
# level LABEL SPEAKER TONE: its dB.
level() { awk -v c="$2" -v f="$3" '$1 == c && $2 == f { print $3 }' "$1.levels"; }
# loudest LABEL TONE SPEAKER...: the tone's dB on the loudest of those speakers.
loudest() {
  local label=$1 tone=$2 best=-120 c
  shift 2
  for c in "$@"; do best=$(awk -v a="$best" -v b="$(level "$label" "$c" "$tone")" 'BEGIN { print (b > a ? b : a) }'); done
  echo "$best"
}

# heights LABEL LEFT RIGHT CENTRE LFE: the two heights (1300 Hz left, 1700 Hz right) heard on their
# own side's speakers (lists), not on the other's, the LFE or, louder than the fronts, the centre.
heights() {
  local label=$1 left=$2 right=$3 centre=${4:-} lfe=${5:-}
  check_between "$label: the left height on the left" "$(loudest "$label" 1300 $left)" -24 0.5
  check_between "$label: the right height on the right" "$(loudest "$label" 1700 $right)" -24 0.5
  check_between "$label: the left height on the right" "$(loudest "$label" 1300 $right)" -120 -40
  check_between "$label: the right height on the left" "$(loudest "$label" 1700 $left)" -120 -40
  if [ -n "$lfe" ]; then
    check_between "$label: the left height on the LFE" "$(level "$label" "$lfe" 1300)" -120 -40
    check_between "$label: the right height on the LFE" "$(level "$label" "$lfe" 1700)" -120 -40
    check_between "$label: the left height on the centre, against the left front there (dB)" \
      "$(awk -v h="$(level "$label" "$centre" 1300)" -v f="$(level "$label" "$centre" 300)" 'BEGIN { print h - f }')" -120 1
  fi
}

# front left, front right, top front left, top front right
freqs=(300 700 1300 1700)
sox -q -n -r 44100 -c 4 -b 16 -e signed heights.raw synth 1.5 sine 300 sine 700 sine 1300 sine 1700 vol 0.5
ffmpeg -v error -y -f s16le -ar 44100 -ch_layout FL+FR+TFL+TFR -i heights.raw -c:a wavpack heights.wv
play heights.wv wavpack-stereo $stereo
levels wavpack-stereo 2
check_between "wavpack-stereo: the left front" "$(level wavpack-stereo 1 300)" -2 0.5
check_between "wavpack-stereo: the right front" "$(level wavpack-stereo 2 700)" -2 0.5
heights wavpack-stereo 1 2
play heights.wv wavpack-5.1 $surround
levels wavpack-5.1 6
heights wavpack-5.1 "1 5" "2 6" 3 4

# 5.1.2: front left, right, centre, LFE, side left, right, top front left, right
freqs=(300 700 500 80 900 1100 1300 1700)
sox -q -n -r 44100 -c 8 -b 16 -e signed 512.raw synth 1.5 sine 300 sine 700 sine 500 sine 80 sine 900 sine 1100 \
  sine 1300 sine 1700 vol 0.5
ffmpeg -v error -y -f s16le -ar 44100 -ch_layout FL+FR+FC+LFE+SL+SR+TFL+TFR -i 512.raw 512.wav
for output in server sdl; do
  play 512.wav 5.1.2-$output $surround $([ $output = sdl ] && echo SDL_AUDIODRIVER=pulseaudio)
  levels 5.1.2-$output 6
  # Where the heights are mixed in, the fronts make room for them; nothing else does.
  for c in 1 2 3 4 5 6; do
    check_between "5.1.2-$output: its own channel on speaker $c of ${surround//,/ } (dB)" \
      "$(level 5.1.2-$output $c "${freqs[c - 1]}")" $([ $c -le 2 ] && echo -5 || echo -2) 0.5
  done
  heights 5.1.2-$output "1 5" "2 6" 3 4
done
finish
