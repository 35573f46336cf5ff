# The benchmark runs, on the X server that with-xvfb started: demo and floor alternate run for run.
# Prints one Markdown table. Usage: bench/run.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
bench=$(cd "$(dirname "$0")" && pwd)
. "$(dirname "$0")/../scripts/xhelpers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
runs=${BENCH_RUNS:-7}

now_ns() { date +%s%N; }
# stats: numbers on stdin -> "median min max"
stats() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print "nan nan nan"; exit } m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'; }
field() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }

tracks() { [ -f "track-$1.ogg" ] || "$build/quillvane-compose" "track-$1.ogg" --seconds "$1" "${@:2}"; }
tracks 0.3; tracks 3; tracks 60; tracks 45
"$build/quillvane-compose" "track-3600.ogg" --seconds 3600 --silent --rate 22050 --channels 2

# demo SAMPLES RATE TRACK: runs the settings-and-trace build without the question; sets trace, t0, exit_ns.
demo() {
  printf '0\n0\n1024\n768\n1\n0\n%d\n1\n%d\n0\n0' "$1" "$2" > settings.conf
  cp "track-$3.ogg" sample.ogg
  trace="$work/trace.$RANDOM"
  t0=$(now_ns)
  QUILLVANE_TRACE="$trace" "$build/quillvane" &
  pid=$!
}
demo_wait() { wait "$pid"; exit_ns=$(now_ns); }
floor() {
  trace="$work/trace.$RANDOM"
  t0=$(now_ns)
  QUILLVANE_TRACE="$trace" "$build/quillvane-floor" "$@"
  exit_ns=$(now_ns)
}
startup_ms() { awk -v t0="$t0" -v p="$(field "$trace" first-presented-realtime-ns)" 'BEGIN { printf "%.1f\n", (p - t0) / 1e6 }'; }
escape_after() { sleep "$1"; qv_key Escape >/dev/null 2>&1 || kill "$pid"; }

# percentile P: sorted numbers on stdin -> the value at fraction P
percentile() { sort -g | awk -v p="$1" '{ v[NR] = $1 } END { i = int(NR * p) + 1; if (i > NR) i = NR; print v[i] }'; }

# pacing TRACE RATE -> "achieved% p50ms p99ms maxms render_ms turns_per_s"; the first interval is left out
pacing() {
  awk '$1 == "frame" { print $2, $3, $4 }' "$1" > frames.txt
  awk -v rate="$2" 'NR >= 3 { printf "%.6f\n", ($1 - prev - 1 / rate) * 1000 } { prev = $1 }' frames.txt > late.txt
  local achieved render turns
  achieved=$(awk -v rate="$2" 'NR == 2 { first = $1 } { last = $1; n = NR } END { printf "%.3f", (n - 2) / (last - first) / rate * 100 }' frames.txt)
  render=$(awk '{ printf "%.3f\n", ($2 - $1) * 1000 }' frames.txt | percentile 0.5)
  turns=$(awk 'NR >= 2 { turns += $3; idle += $1 - prevEnd } { prevEnd = $2 } END { printf "%.0f", turns / idle }' frames.txt)
  echo "$achieved $(percentile 0.5 < late.txt) $(percentile 0.99 < late.txt) $(percentile 1.0 < late.txt) $render $turns"
}

row() { printf '| %s | %s | %s | %s | %s |\n' "$@"; }
# holds VALUE OP LIMIT: LIMIT may be a sum such as "326.1 + 25"
holds() { awk "BEGIN { exit !(($1) $2 ($3)) }" && echo yes || echo "**no**"; }

echo "| figure | demo: median (min–max) | floor: median (min–max) | target | holds |"
echo "|---|---|---|---|---|"

# BENCH_SOUND_ONLY=1 measures only what is heard; BENCH_FRAMEWORK_ONLY=1 only the module on libavformat.
if [ "${BENCH_SOUND_ONLY:-0}" != 1 ] && [ "${BENCH_FRAMEWORK_ONLY:-0}" != 1 ]; then

# Start-up: process start to the first frame presented.
for samples in 4 0; do
  : > d.txt; : > f.txt
  for _ in $(seq "$runs"); do
    demo "$samples" 60 0.3; demo_wait; startup_ms >> d.txt
    floor --samples "$samples" --frames 1; startup_ms >> f.txt
  done
  read -r dm dl dh < <(stats < d.txt); read -r fm fl fh < <(stats < f.txt)
  row "start-up, $samples samples (ms)" "$dm ($dl–$dh)" "$fm ($fl–$fh)" "≤ floor + 25" "$(holds "$dm" '<=' "$fm + 25")"
done

# Frame pacing and loop cost: 10 s at each rate.
for samples in 0 4; do
  for rate in 30 50 60; do
    demo "$samples" "$rate" 60; escape_after 10.5; demo_wait
    read -r da dp50 dp99 dmax drender dturns < <(pacing "$trace" "$rate")
    floor --samples "$samples" --rate "$rate" --seconds 10.5
    read -r fa fp50 fp99 fmax frender fturns < <(pacing "$trace" "$rate")
    target="—"; ok="—"
    if [ "$samples" = 0 ]; then
      target="≥ 99.9 %, p99 ≤ 0.05 ms"
      ok=$( [ "$(holds "$da" '>=' 99.9)" = yes ] && [ "$(holds "$dp99" '<=' 0.05)" = yes ] && echo yes || echo "**no**")
    fi
    row "pacing $rate fps, $samples samples: achieved %, late p50 / p99 / max (ms), render (ms)" \
      "$da; $dp50 / $dp99 / $dmax; $drender" "$fa; $fp50 / $fp99 / $fmax; $frender" "$target" "$ok"
    [ "$samples" = 0 ] && [ "$rate" = 60 ] && loop_turns=$dturns && floor_turns=$fturns
  done
done
row "loop turns per second outside frames" "$loop_turns" "$floor_turns" "≥ 5000000" "$(holds "$loop_turns" '>=' 5000000)"
turns_ratio=$(awk -v d="$loop_turns" -v f="$floor_turns" 'BEGIN { printf "%.1f", d * 100 / f }')
row "loop turns outside frames, % of the floor's in the same run" "$turns_ratio" "100" "≥ 80" "$(holds "$turns_ratio" '>=' 80)"

# Peak resident memory.
for track in 60 3600; do
  demo 4 60 "$track"; escape_after 12; demo_wait
  eval "mem_$track=$(field "$trace" peak-rss-kib)"
done
floor --samples 4 --seconds 12
mem_floor=$(field "$trace" peak-rss-kib)
row "peak memory, 60 s track (MiB)" "$(awk -v k="$mem_60" 'BEGIN { printf "%.1f", k / 1024 }')" \
  "$(awk -v k="$mem_floor" 'BEGIN { printf "%.1f", k / 1024 }')" "≤ floor + 10" "$(holds "$mem_60" '<=' "$mem_floor + 10240")"
row "peak memory, 3600 s track (MiB)" "$(awk -v k="$mem_3600" 'BEGIN { printf "%.1f", k / 1024 }')" "—" \
  "60 s track + < 1" "$(holds "$mem_3600" '<' "$mem_60 + 1024")"
# A header that claims 2 000 000 000 frames a second: refused before anything is sized from it.
"$bench/../tests/tracks/classes.sh" classes
cp classes/damaged-rate.wav track-damaged-rate.ogg
demo 4 60 damaged-rate; demo_wait
mem_damaged=$(field "$trace" peak-rss-kib)
row "peak memory, damaged-rate file (MiB)" "$(awk -v k="$mem_damaged" 'BEGIN { printf "%.1f", k / 1024 }')" \
  "$(awk -v k="$mem_floor" 'BEGIN { printf "%.1f", k / 1024 }')" "≤ floor + 10" "$(holds "$mem_damaged" '<=' "$mem_floor + 10240")"

# A chain of 1 000 short links, each its own encode: its open and its play cost one link's memory.
"$build/quillvane-compose" track-links.ogg --seconds 0.01 --links 1000
demo 4 60 links; escape_after 4; demo_wait
mem_links=$(field "$trace" peak-rss-kib)
row "peak memory, 1 000-link Ogg Vorbis chain (MiB)" "$(awk -v k="$mem_links" 'BEGIN { printf "%.1f", k / 1024 }')" \
  "$(awk -v k="$mem_floor" 'BEGIN { printf "%.1f", k / 1024 }')" "≤ floor + 10" "$(holds "$mem_links" '<=' "$mem_floor + 10240")"

# Underruns over the whole sample track, idle and with the other core kept busy.
demo 4 60 45; demo_wait; idle_underruns=$(field "$trace" underruns)
sh -c 'while :; do :; done' & busy=$!
demo 4 60 45; demo_wait; busy_underruns=$(field "$trace" underruns)
kill "$busy"
row "audio underruns, 45 s track: idle / other core busy" "$idle_underruns / $busy_underruns" "—" "0 / 0" \
  "$( [ "$idle_underruns" = 0 ] && [ "$busy_underruns" = 0 ] && echo yes || echo "**no**")"

# End of music: from the position reaching the length to the process's exit.
: > d.txt
for _ in $(seq "$runs"); do
  demo 4 60 3; demo_wait
  awk -v a="$(field "$trace" music-end-realtime-ns)" -v b="$exit_ns" 'BEGIN { printf "%.1f\n", (b - a) / 1e6 }' >> d.txt
done
read -r em el eh < <(stats < d.txt)
row "end of music to exit, 3 s track (ms)" "$em ($el–$eh)" "—" "≤ 40" "$(holds "$em" '<=' 40)"

# Opening: a ten-hour file, damaged one-hour ones (cut at 90 %) and ones whose headers do not give
# the length, each the median of five opens.
"$build/quillvane-compose" long-10h.flac --seconds 36000 --rate 8000 --channels 1 --format flac --silent
"$build/quillvane-compose" hour.ogg --seconds 3600 --rate 22050 --channels 2 --silent
sox -n -r 22050 -c 2 hour.wav synth 3600 sine 440 vol 0.1 2>/dev/null && lame --quiet -t -b 64 hour.wav hour.mp3 && rm hour.wav
for f in hour.ogg hour.mp3; do head -c "$(( $(stat -c %s "$f") * 9 / 10 ))" "$f" > "cut-$f"; done
# An hour of FLAC written through a pipe (no total in its header), and sixty one-minute MP3s with
# Info tags joined with cat: neither header says how long the file is.
sox -n -r 44100 -c 2 -b 16 -t raw - synth 3600 sine 440 vol 0.1 2>/dev/null |
  flac --silent --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 --sample-rate=44100 -c - > pipe-hour.flac 2>/dev/null
sox -n -r 44100 -c 2 minute.wav synth 60 pinknoise vol 0.1 2>/dev/null && lame --quiet -b 128 minute.wav minute.mp3 && rm minute.wav
for _ in $(seq 60); do cat minute.mp3; done > joined-hour.mp3
# Files no open may read whole: a gigabyte of MP3 (a thousand joined minutes), two hours of FLAC,
# a chain of 10 000 links, and music followed by a gigabyte of zeros.
for _ in $(seq 1100); do cat minute.mp3; done > gig.mp3
"$build/quillvane-compose" hours2.flac --seconds 7200 --rate 44100 --channels 2 --format flac --silent
"$build/quillvane-compose" links10k.ogg --seconds 0.01 --links 10000
for f in track-60.ogg minute.mp3; do { cat "$f"; head -c 1000000000 /dev/zero; } > "zeros-after-$f"; done
# A FLAC with a hole of a gigabyte a fifth of a second in, within what the open decodes, as a copy that
# went on writing further out leaves it: the slowest of such files to open before the open was bounded.
sox -n -r 44100 -c 2 -b 16 holed.wav synth 1 sine 440 vol 0.1 2>/dev/null && flac --silent --no-padding holed.wav -o holed.flac
at=$(( $(stat -c %s holed.flac) / 5 ))
head -c "$at" holed.flac > hole-early.flac && truncate -s +1G hole-early.flac && tail -c +$(( at + 1 )) holed.flac >> hole-early.flac
for f in long-10h.flac cut-hour.ogg cut-hour.mp3 pipe-hour.flac joined-hour.mp3 track-links.ogg gig.mp3 hours2.flac \
  links10k.ogg zeros-after-track-60.ogg zeros-after-minute.mp3 hole-early.flac; do
  for _ in 1 2 3 4 5; do "$build/quillvane-open" "$f" | awk '{ print $2 }'; done > d.txt
  read -r om ol oh < <(stats < d.txt)
  row "open, $f (ms)" "$om ($ol–$oh)" "—" "≤ 50" "$(holds "$om" '<=' 50)"
done
# The process's own memory while the largest of them opens and plays a few seconds, beside the floor's.
for f in gig.mp3 links10k.ogg zeros-after-track-60.ogg; do
  cp "$f" "track-big.ogg"
  demo 4 60 big; escape_after 4; demo_wait
  row "peak memory, $f (MiB)" "$(awk -v k="$(field "$trace" peak-rss-kib)" 'BEGIN { printf "%.1f", k / 1024 }')" \
    "$(awk -v k="$mem_floor" 'BEGIN { printf "%.1f", k / 1024 }')" "≤ floor + 10" "$(holds "$(field "$trace" peak-rss-kib)" '<=' "$mem_floor + 10240")"
done
rm -f gig.mp3 hours2.flac links10k.ogg zeros-after-* track-big.ogg holed.wav holed.flac hole-early.flac


fi

# The module on libavformat: loaded by the first file that needs it, never by the others. Start-up
# and memory with it loaded at start (preloaded, as if the binary linked the libraries), and for an
# M4A that loads it; the open of a one-hour M4A, with the module's loading and without.
if [ "${BENCH_SOUND_ONLY:-0}" != 1 ]; then
ffmpeg -v error -y -i track-60.ogg -c:a aac -f mp4 track-m4a.ogg
ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=3600:sample_rate=22050 -c:a aac -b:a 32k hour.m4a
ffmpeg -v error -y -f lavfi -i sine=duration=1 -c:a aac short.m4a
: > d.txt; : > l.txt; : > m.txt; : > f.txt
for _ in $(seq "$runs"); do
  demo 4 60 0.3; demo_wait; startup_ms >> d.txt
  LD_PRELOAD="$build/libquillvane-ffmpeg.so" demo 4 60 0.3; demo_wait; startup_ms >> l.txt
  demo 4 60 m4a; escape_after 1; demo_wait; startup_ms >> m.txt
  floor --samples 4 --frames 1; startup_ms >> f.txt
done
read -r fm fl fh < <(stats < f.txt)
for kind in d l m; do
  read -r km kl kh < <(stats < "$kind.txt")
  case $kind in
    d) label="start-up, 4 samples, Ogg Vorbis track, module beside the binary (ms)"; target="≤ floor + 25" ;;
    l) label="start-up, 4 samples, Ogg Vorbis track, libavformat loaded at start (ms)"; target="—" ;;
    m) label="start-up, 4 samples, M4A track, module loaded for it (ms)"; target="—" ;;
  esac
  row "$label" "$km ($kl–$kh)" "$fm ($fl–$fh)" "$target" "$([ "$target" = "—" ] && echo "—" || holds "$km" '<=' "$fm + 25")"
done
demo 4 60 60; escape_after 12; demo_wait; mem_ogg=$(field "$trace" peak-rss-kib)
LD_PRELOAD="$build/libquillvane-ffmpeg.so" demo 4 60 60; escape_after 12; demo_wait; mem_linked=$(field "$trace" peak-rss-kib)
demo 4 60 m4a; escape_after 12; demo_wait; mem_m4a=$(field "$trace" peak-rss-kib); anon_m4a=$(field "$trace" anon-rss-kib)
floor --samples 4 --seconds 12
mem_floor=$(field "$trace" peak-rss-kib); anon_floor=$(field "$trace" anon-rss-kib)
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
row "peak memory, 60 s Ogg Vorbis track, module beside the binary (MiB)" "$(mib "$mem_ogg")" "$(mib "$mem_floor")" "≤ floor + 10" "$(holds "$mem_ogg" '<=' "$mem_floor + 10240")"
row "peak memory, 60 s Ogg Vorbis track, libavformat loaded at start (MiB)" "$(mib "$mem_linked")" "$(mib "$mem_floor")" "—" "—"
row "peak memory, 60 s M4A track, module loaded for it (MiB)" "$(mib "$mem_m4a")" "$(mib "$mem_floor")" "—" "—"
row "the process's own memory at the end (no library file pages), 60 s M4A track (MiB)" "$(mib "$anon_m4a")" "$(mib "$anon_floor")" "≤ floor + 10" "$(holds "$anon_m4a" '<=' "$anon_floor + 10240")"
for _ in 1 2 3 4 5; do "$build/quillvane-open" hour.m4a | awk '{ print $2 }'; done > d.txt
read -r om ol oh < <(stats < d.txt)
row "open, hour.m4a, loading the module (ms)" "$om ($ol–$oh)" "—" "—" "—"
for _ in 1 2 3 4 5; do "$build/quillvane-open" short.m4a hour.m4a | awk 'END { print $2 }'; done > d.txt
read -r om ol oh < <(stats < d.txt)
row "open, hour.m4a, the module loaded (ms)" "$om ($ol–$oh)" "—" "≤ 50" "$(holds "$om" '<=' 50)"
# Opus in WebM written through a pipe, as a recorder writes it: no cues, no duration.
ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=3600:sample_rate=48000 -c:a libopus -b:a 32k -f webm - > pipe-hour.webm
for _ in 1 2 3 4 5; do "$build/quillvane-open" short.m4a pipe-hour.webm | awk 'END { print $2 }'; done > d.txt
read -r om ol oh < <(stats < d.txt)
row "open, pipe-hour.webm, the module loaded (ms)" "$om ($ol–$oh)" "—" "≤ 50" "$(holds "$om" '<=' 50)"

# Files made to break it: an M4A whose second track's tables claim 80 million samples, a tracker
# module followed by a 1.5 GB hole, raw AC3 followed by 2 GiB of zeros. The open's time with the
# module loaded, and the peak of the process's own memory over a run of each (the peak less the
# pages of the libraries' files) beside the floor's.
"$bench/../tests/tracks/crafted.sh" .
floor --samples 4 --seconds 3
own_floor=$(( $(field "$trace" peak-rss-kib) - $(field "$trace" file-rss-kib) ))
for crafted in table hole zeros; do
  case $crafted in
    table) label="M4A whose sample table claims 80 million entries" ;;
    hole) label="tracker module before a 1.5 GB hole (refused)" ;;
    zeros) label="raw AC3 before 2 GiB of zeros" ;;
  esac
  for _ in 1 2 3 4 5; do "$build/quillvane-open" short.m4a "track-$crafted.ogg" 2>/dev/null | awk 'END { print $2 }'; done > d.txt
  read -r om ol oh < <(stats < d.txt)
  row "open, $label, the module loaded (ms)" "$om ($ol–$oh)" "—" "≤ 50" "$(holds "$om" '<=' 50)"
  demo 4 60 "$crafted"; escape_after 4; demo_wait
  own=$(( $(field "$trace" peak-rss-kib) - $(field "$trace" file-rss-kib) ))
  row "the process's own peak memory (no library file pages), $label (MiB)" "$(mib "$own")" "$(mib "$own_floor")" \
    "≤ floor + 10" "$(holds "$own" '<=' "$own_floor + 10240")"
done
fi

[ "${BENCH_FRAMEWORK_ONLY:-0}" = 1 ] || . "$bench/sound.sh"
