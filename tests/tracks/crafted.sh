#!/usr/bin/env bash
# Makes into DIR the files made to break the module's bounds: track-table.ogg, an M4A whose second
# track's tables claim 80 million samples (its first track plays 3 s); track-hole.ogg, a tracker
# module followed by a 1.5 GB hole; track-zeros.ogg, 1 s of raw AC3 followed by 2 GiB of zeros. The
# holes take no room on disk. Used by the bad-music test and the benchmarks.
#   tests/tracks/crafted.sh DIR
set -euo pipefail
cd "$1"
be32() { printf "$(printf '\\%03o' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)))"; }
poke() { be32 "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
ffmpeg -v error -y -f lavfi -i sine=duration=3 -f lavfi -i sine=frequency=660:duration=3 -map 0 -map 1 -c:a aac \
  -movflags +faststart -f mp4 track-table.ogg
stsz=$(grep -obUa stsz track-table.ogg | sed -n 2p | cut -d: -f1)
stsc=$(grep -obUa stsc track-table.ogg | sed -n 2p | cut -d: -f1)
chunks=$(od -An -tu4 --endian=big -j $(($(grep -obUa stco track-table.ogg | sed -n 2p | cut -d: -f1) + 8)) -N4 track-table.ogg)
poke track-table.ogg $((stsz + 8)) 100
poke track-table.ogg $((stsz + 12)) 80000000
for i in $(seq 0 $(($(od -An -tu4 --endian=big -j $((stsc + 8)) -N4 track-table.ogg) - 1))); do
  poke track-table.ogg $((stsc + 16 + 12 * i)) $((80000000 / chunks + 1))
done
{
  printf quillvane; head -c 11 /dev/zero
  head -c 22 /dev/zero; printf '\0\020\0\100\0\0\0\020'
  for _ in $(seq 30); do head -c 22 /dev/zero; printf '\0\0\0\0\0\0\0\001'; done
  printf '\001\177'; head -c 128 /dev/zero; printf M.K.
  printf '\001\254\037\001\0\326\020\0'; head -c 1016 /dev/zero
  head -c 16 /dev/zero | tr '\0' '\140'; head -c 16 /dev/zero | tr '\0' '\240'
} > track-hole.ogg
truncate -s 1500M track-hole.ogg
ffmpeg -v error -y -f lavfi -i sine=duration=1 -c:a ac3 -f ac3 track-zeros.ogg
truncate -s +2G track-zeros.ogg
