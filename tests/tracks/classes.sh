#!/usr/bin/env bash
# Makes one small file of each kind that real collections and damage leave behind, into DIR: chained
# Ogg Vorbis of one format, one whose second link has another rate and channel count, and one with
# an empty link of another format between two, an Ogg Opus chain with a mono second link, and one
# whose second link differs only in its channel mapping (family 1, as ffmpeg can write it), two MP3 files joined with cat at different rates, MPEG audio after junk, a WAV
# whose sizes were never written, a WAV whose header claims 2 000 000 000 frames a second, and a
# 5.1 Ogg Vorbis with a tone of its own on each speaker. Each link is a tone of its own, so that
# its pitch can be heard. Used by the tests, the fuzzer's seeds and the benchmarks.
#   tests/tracks/classes.sh DIR [SECONDS a link, default 0.5]
set -euo pipefail
out=$1
link=${2:-0.5}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tone() {
  local bits=()
  [ "${3##*.}" = wav ] && bits=(-b 16)
  sox -q -n -r "$1" -c "$2" "${bits[@]}" "$tmp/$3" synth "$4" sine "$5" vol 0.5
}

tone 48000 2 a.ogg "$link" 440
tone 22050 1 b.ogg "$link" 660
tone 48000 2 c.ogg "$link" 660
cat "$tmp/a.ogg" "$tmp/b.ogg" > "$out/chain-rate.ogg"
cat "$tmp/a.ogg" "$tmp/c.ogg" > "$out/chain-same.ogg"
# Headers and no sound, as a recorder stopped at once leaves a file.
tone 22050 1 e.wav 0.01 300
sox -q "$tmp/e.wav" "$tmp/e.ogg" trim 0 0
cat "$tmp/a.ogg" "$tmp/e.ogg" "$tmp/c.ogg" > "$out/empty-link.ogg"

tone 48000 2 a.wav "$link" 440
tone 48000 1 b.wav "$link" 660
opusenc --quiet "$tmp/a.wav" "$tmp/a.opus"
opusenc --quiet "$tmp/b.wav" "$tmp/b.opus"
cat "$tmp/a.opus" "$tmp/b.opus" > "$out/mono-link.opus"
tone 48000 2 f.wav "$link" 660
ffmpeg -v error -nostdin -i "$tmp/f.wav" -c:a libopus -mapping_family 1 "$tmp/f.opus"
cat "$tmp/a.opus" "$tmp/f.opus" > "$out/mapping-link.opus"

tone 44100 2 c.wav "$link" 440
tone 22050 2 d.wav "$link" 660
lame --quiet -b 128 "$tmp/c.wav" "$tmp/c.mp3"
lame --quiet -b 64 "$tmp/d.wav" "$tmp/d.mp3"
cat "$tmp/c.mp3" "$tmp/d.mp3" > "$out/joined.mp3"

# Junk as a broken download or a tag no player knows leaves it: bytes that are no frame header.
head -c 3000 /dev/zero | tr '\0' 'J' > "$out/junk.mp3"
cat "$tmp/c.mp3" >> "$out/junk.mp3"

# A recorder that died before writing the sizes: RIFF and data sizes both 0.
cp "$tmp/c.wav" "$out/zero-size.wav"
printf '\0\0\0\0' | dd of="$out/zero-size.wav" bs=1 seek=4 conv=notrunc status=none
printf '\0\0\0\0' | dd of="$out/zero-size.wav" bs=1 seek=40 conv=notrunc status=none

# 2 000 000 000 frames a second (0x77359400), a link's length of sound at 44.1 kHz.
sox -q -n -r 44100 -c 2 -b 16 "$out/damaged-rate.wav" synth "$link" sine 440
printf '\x00\x94\x35\x77' | dd of="$out/damaged-rate.wav" bs=1 seek=24 conv=notrunc status=none

# 5.1 in the Vorbis order: front left, centre, front right, rear left, rear right, LFE (low, as
# the encoder keeps only the low end of it).
sox -q -n -r 48000 -c 6 "$out/surround.ogg" synth "$(awk -v l="$link" 'BEGIN { print 4 * l }')" sine 300 sine 500 sine 700 sine 900 sine 1100 sine 80 vol 0.5

# FLAC as damage and other programs leave it, from noise so that frames are large: written through a
# pipe (STREAMINFO's total 0), through a pipe from a WAV whose header claims 2^29 frames (the total
# claims hours), with a total that claims less, behind an ID3v2 tag, with 2 KiB of garbage in the
# middle, with every audio frame zeroed, and two joined.
raw=(--force-raw-format --endian=little --sign=signed --channels=2 --bps=16 --sample-rate=44100)
sox -q -n -r 44100 -c 2 -b 16 -t raw "$tmp/noise.raw" synth "$(awk -v l="$link" 'BEGIN { print 4 * l }')" pinknoise vol 0.5
flac --silent "${raw[@]}" -c - < "$tmp/noise.raw" > "$out/pipe.flac" 2>/dev/null
sox -q -n -r 44100 -c 2 -b 16 -t wav - synth "$link" pinknoise vol 0.5 2>/dev/null | flac --silent -c - > "$out/total-more.flac" 2>/dev/null
{ printf 'ID3\3\0\0\0\0\10\0'; head -c 1024 /dev/zero; cat "$out/pipe.flac"; } > "$out/id3.flac"
# A total that claims less: 8192 frames, in the low 32 of STREAMINFO's 36 bits.
cp "$out/pipe.flac" "$out/total-less.flac"
printf '\0\0\40\0' | dd of="$out/total-less.flac" bs=1 seek=22 conv=notrunc status=none
bytes=$(stat -c %s "$out/pipe.flac")
{ head -c $((bytes / 2)) "$out/pipe.flac"; head -c 2048 /dev/urandom; tail -c +$((bytes / 2 + 2049)) "$out/pipe.flac"; } > "$out/damaged.flac"
# Zeroed from the first frame on, in a file whose STREAMINFO has its total: the header alone says music.
flac --silent "${raw[@]}" "$tmp/noise.raw" -o "$tmp/whole.flac"
bytes=$(stat -c %s "$tmp/whole.flac")
at=4
while :; do
  read -r last b1 b2 b3 < <(od -An -tu1 -j$at -N4 "$tmp/whole.flac")
  at=$((at + 4 + (b1 << 16 | b2 << 8 | b3)))
  [ "$last" -ge 128 ] && break
done
{ head -c $at "$tmp/whole.flac"; head -c $((bytes - at)) /dev/zero; } > "$out/zeroed.flac"
# Two FLAC files joined with cat: the frames of the second count from 0 again.
cat "$tmp/whole.flac" "$out/pipe.flac" > "$out/joined.flac"

# Three MP3 files joined, the second at another rate: the first and last frames share a format.
cat "$tmp/c.mp3" "$tmp/d.mp3" "$tmp/c.mp3" > "$out/joined-aba.mp3"
