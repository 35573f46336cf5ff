# Whatever sample.ogg holds, the run ends by itself with exit 0: at once when nothing can be
# played, at the end of what can be; never a crash, never a hang.
. "$(dirname "$0")/lib.sh" "$1"

# play LABEL LOW HIGH [window]: one run on the current sample.ogg, answered No; checks the exit status
# and the seconds from the answer to the exit, or from the window's appearance where the window's own
# start-up on a busy machine would blur the length being checked.
play() {
  start
  qv_answer no
  [ "${4:-}" = window ] && window >/dev/null
  local t0
  t0=$(now)
  wait_exit 20
  local took
  took=$(elapsed "$t0")
  check "$1: exit status" "$status" 0
  check_between "$1: seconds to the end" "$took" "$2" "$3"
}

rm -f sample.ogg
: > sample.ogg
play "empty file" 0 2
grep -q '^quillvane: cannot play sample.ogg: ' stderr && pass || fail "empty file: no reason on stderr"

head -c 200000 /dev/urandom > sample.ogg
play "random bytes" 0 2

printf 'Never gonna give you a sample.\n' > sample.ogg
play "a text file" 0 2

# A header that claims 2 000 000 000 frames a second: refused with the one line, never obeyed.
"$(dirname "$0")/../tracks/classes.sh" classes 0.05
cp classes/damaged-rate.wav sample.ogg
play "a damaged rate" 0 2
check "a damaged rate: the one line" "$(cat stderr)" "quillvane: cannot play sample.ogg: unusable stream format"

# A FLAC whose every audio frame is zeroed: damage, not a track; refused as an unreadable file is.
cp classes/zeroed.flac sample.ogg
play "a FLAC of zeroed frames" 0 2
check "a FLAC of zeroed frames: the one line" "$(cat stderr)" "quillvane: cannot play sample.ogg: no audio in it decodes"

rm sample.ogg && mkdir sample.ogg
play "a directory" 0 2
check "a directory: the reason" "$(cat stderr)" "quillvane: cannot play sample.ogg: is a directory"
rmdir sample.ogg

# Cut where the audio is: it plays what it holds, as another decoder counts it, then ends.
"$build/quillvane-compose" whole.ogg --seconds 4
head -c "$(( $(stat -c %s whole.ogg) * 3 / 4 ))" whole.ogg > sample.ogg
held=$(sox sample.ogg -t raw -e signed -b 16 -c 2 -r 44100 - 2>/dev/null | wc -c | awk '{ print $1 / 176400 }')
play "Ogg Vorbis cut short" "$(awk -v h="$held" 'BEGIN { print h - 0.2 }')" "$(awk -v h="$held" 'BEGIN { print h + 0.4 }')" window
check_between "Ogg Vorbis cut short: seconds it holds" "$held" 0.8 3.5

# The header promises 2 s; the file holds 1 s.
"$build/quillvane-compose" whole.wav --seconds 2 --format wav
head -c "$(( 44 + 44100 * 4 ))" whole.wav > sample.ogg
play "WAV shorter than its header" 0.8 1.6 window

track 0
play "a track of no frames" 0 2

track 2 --rate 8000 --channels 1 --format wav
play "8 kHz mono" 1.8 3

track 2 --rate 96000 --channels 6 --format flac
play "96 kHz, six channels" 1.8 3

# AAC in an M4A, through the module on libavformat: it plays its length. A playlist saved as
# sample.ogg, naming a track that plays, is refused with the one line.
ffmpeg -v error -y -f lavfi -i sine=duration=2 -c:a aac -f mp4 sample.ogg
play "AAC in an M4A" 1.8 3
check "AAC in an M4A: nothing on stderr" "$(cat stderr)" ""
mv sample.ogg segment.m4a
printf 'ffconcat version 1.0\nfile segment.m4a\n' > sample.ogg
play "a playlist in disguise" 0 2
check "a playlist in disguise: the one line" "$(cat stderr)" "quillvane: cannot play sample.ogg: Format not recognised."

# A library the module needs that cannot be loaded: what the loader says is the one line.
mv segment.m4a sample.ogg
mkdir broken && : > broken/libavformat.so.59
LD_LIBRARY_PATH="$work/broken" play "the module's library unloadable" 0 2
check "the module's library unloadable: the one line" "$(cat stderr)" \
  "quillvane: cannot play sample.ogg: $work/broken/libavformat.so.59: file too short"

# No sound device at all: silent output still takes the track's time.
track 2
SDL_AUDIODRIVER=no-such-driver play "no sound device" 1.8 3

# Ten hours start as fast as ten seconds: the music is streamed, never decoded whole.
startup() {
  start
  qv_answer no
  local t0
  t0=$(now)
  local win
  win=$(window)
  qv_key i
  qv_wait 10 sh -c "xprop -id $win WM_NAME | grep -o ' / [0-9]*:[0-9]*'" >/dev/null
  elapsed "$t0"
  qv_key Escape
  wait_exit 5
}
track 10
short=$(startup)
"$build/quillvane-compose" sample.ogg --seconds 36000 --rate 8000 --channels 1 --format flac --silent
long=$(startup)
check "ten hours: exit status" "$status" 0
echo "badmusic: to the first status line, 10 s track ${short} s, 10 h track ${long} s"
check_between "ten hours start within 0.5 s of ten seconds" "$(awk -v a="$long" -v b="$short" 'BEGIN { print a - b }')" -5 0.5

finish
