# The rows of scripts/bench for what is heard; sourced by bench/run.sh, whose helpers it uses.
# What is heard, on a private sound server whose monitor is recorded with the time of every frame.
. "$bench/../scripts/soundhelpers.sh"
trap 'qv_sound_stop; rm -rf "$work"' EXIT
qv_sound_start "$work/sound"
qv_keys_start "$build/quillvane-presskeys"
rate=44100
"$build/quillvane-compose" track-45.wav --seconds 45 --format wav
"$build/quillvane-compose" track-10.wav --seconds 10 --format wav
for t in 45 10; do sox -t wav "track-$t.wav" -t raw "track-$t.raw"; done
record_start() { "$build/quillvane-record" rec.raw rec.times & rec=$!; sleep 0.3; }
record_stop() { sleep 0.3; kill "$rec"; wait "$rec"; "$build/quillvane-heard" "track-$1.raw" rec.raw > heard.txt; }
sound_demo() {
  printf '0\n0\n1024\n768\n1\n0\n4\n1\n60\n0\n0' > settings.conf
  cp "track-$1.wav" sample.ogg
  trace="$work/trace.$RANDOM"
  QUILLVANE_TRACE="$trace" "$build/quillvane" 2>/dev/null &
  pid=$!
}
# Silence between two runs of the track, and ms of the track's end never heard.
gaps() { awk '$1 == "music" { if (seen) { n += gap > 0 } seen = 1; gap = 0 } $1 == "silence" && seen { gap = $3 } END { print n + 0 }' heard.txt; }
gap_ms() { awk -v r=$rate '$1 == "music" { if (seen) t += gap; seen = 1; gap = 0 } $1 == "silence" && seen { gap = $3 } END { printf "%.1f", t * 1000 / r }' heard.txt; }
end_lost_ms() { awk -v total="$(( $(stat -c %s "track-$1.raw") / 4 ))" -v r=$rate '$1 == "music" { last = $3 + $4 } END { printf "%.1f\n", (total - last) * 1000 / r }' heard.txt; }
# time_of FRAME: realtime ns at which the recording's frame was heard.
time_of() { awk -v k="$1" -v r=$rate '$1 >= k { printf "%.0f\n", $2 - ($1 - k) * 1e9 / r; exit }' rec.times; }

: > idle.txt; : > busy.txt; : > end.txt
for load in idle busy; do
  for _ in $(seq "${BENCH_SOUND_RUNS:-5}"); do
    busy=()
    if [ "$load" = busy ]; then
      for _ in 1 2; do sh -c 'while :; do :; done' & busy+=($!); done
    fi
    record_start; sound_demo 45; wait "$pid"; record_stop 45
    for b in "${busy[@]}"; do kill "$b"; done
    echo "$(gaps) $(gap_ms)" >> "$load.txt"
    end_lost_ms 45 >> end.txt
  done
done
row "gaps in the sound, 45 s track, 5 runs: idle (gaps, ms of silence per run)" "$(tr '\n' ';' < idle.txt)" "—" "0 gaps" \
  "$(awk '{ n += $1 } END { print (n == 0 ? "yes" : "**no**") }' idle.txt)"
row "gaps in the sound, 45 s track, 5 runs: two CPU-bound processes" "$(tr '\n' ';' < busy.txt)" "—" "0 gaps" \
  "$(awk '{ n += $1 } END { print (n == 0 ? "yes" : "**no**") }' busy.txt)"
read -r lm ll lh < <(stats < end.txt)
row "ms of the track's end never heard, 10 runs" "$lm ($ll–$lh)" "—" "≤ 3" "$(holds "$lh" '<=' 3)"

# P, P again and Space a second apart; the time from each key to what is heard, and how far the
# position the demo drew ran ahead of the frame heard at that moment.
: > silence.txt; : > again.txt; : > restart.txt; : > lead.txt
for _ in $(seq "${BENCH_SOUND_RUNS:-5}"); do
  record_start; sound_demo 10; sleep 2
  win=$(qv_window_id)
  xdotool windowfocus --sync "$win" 2>/dev/null
  # Each key stamped when the X server has it, from one process that stays.
  k1=$(qv_press p); sleep 1
  k2=$(qv_press p); sleep 1
  k3=$(qv_press space); sleep 1
  qv_press Escape >/dev/null; wait "$pid"; record_stop 10
  mapfile -t runs < <(awk '$1 == "music" { print $2, $3, $4 }' heard.txt)
  [ "${#runs[@]}" -eq 3 ] || { echo "bench: expected three runs of the track, heard ${#runs[@]}" >&2; continue; }
  read -r r1 _ n1 <<< "${runs[0]}"; read -r r2 _ _ <<< "${runs[1]}"; read -r r3 _ _ <<< "${runs[2]}"
  echo $(( ($(time_of $((r1 + n1))) - k1) / 1000 )) | awk '{ printf "%.1f\n", $1 / 1000 }' >> silence.txt
  echo $(( ($(time_of "$r2") - k2) / 1000 )) | awk '{ printf "%.1f\n", $1 / 1000 }' >> again.txt
  echo $(( ($(time_of "$r3") - k3) / 1000 )) | awk '{ printf "%.1f\n", $1 / 1000 }' >> restart.txt
  # Lead: the drawn position against the track frame heard when the frame was drawn, away from the
  # edges of each run of the track.
  awk '$1 == "music" { print $2, $3, $4 }' heard.txt > segments.txt
  awk -v r=$rate -v off="$(field "$trace" clock-to-realtime-ns)" '
    FILENAME == ARGV[1] { n++; tf[n] = $1; tt[n] = $2; next }
    FILENAME == ARGV[2] { m++; sr[m] = $1; st[m] = $2; sn[m] = $3; next }
    $1 == "frame" {
      T = off + $2 * 1e9
      lo = 1; hi = n
      while (lo < hi) { mid = int((lo + hi) / 2); if (tt[mid] < T) lo = mid + 1; else hi = mid }
      if (tt[lo] < T) next
      k = tf[lo] - (tt[lo] - T) * r / 1e9
      for (s = 1; s <= m; s++)
        if (k >= sr[s] + r / 10 && k < sr[s] + sn[s] - r / 10)
          printf "%.2f\n", ($5 - (st[s] + k - sr[s]) / r) * 1000
    }' rec.times segments.txt "$trace" | percentile 0.5 >> lead.txt
done
for f in silence again restart lead; do read -r "${f}_m" "${f}_l" "${f}_h" < <(stats < "$f.txt"); done
row "P to silence (ms), 5 runs" "$silence_m ($silence_l–$silence_h)" "—" "≤ 30" "$(holds "$silence_h" '<=' 30)"
row "P again to sound (ms)" "$again_m ($again_l–$again_h)" "—" "≤ 30" "$(holds "$again_h" '<=' 30)"
row "Space to the restarted sound (ms)" "$restart_m ($restart_l–$restart_h)" "—" "≤ 30" "$(holds "$restart_h" '<=' 30)"
row "position drawn ahead of the sound heard, median per run (ms)" "$lead_m ($lead_l–$lead_h)" "—" "≤ 5" "$(holds "$lead_h" '<=' 5)"

# The server killed a second and a half into a run and started again: how far the music heard after
# its return is from where the wall clock says it should be (positive: behind). Started again as the
# helpers start it (its sink kept short by another client), and as on a machine with no other sound,
# whose fresh sink first plays up to two seconds of its own: judged there half a second before the
# end, once the sink has settled and its monitor is true.
"$build/quillvane-compose" track-7.wav --seconds 7 --format wav
sox -t wav track-7.wav -t raw track-7.raw
for again in settled fresh; do
  : > back.txt
  for _ in $(seq "${BENCH_SOUND_RUNS:-5}"); do
    qv_sound_record_timed before.raw before.times "$build/quillvane-record"
    sound_demo 7; sleep 1.5
    qv_sound_kill; sleep 0.5
    if [ "$again" = fresh ]; then qv_sound_fresh=1 qv_sound_start "$work/sound"; else qv_sound_start "$work/sound"; fi
    qv_sound_record_timed after.raw after.times "$build/quillvane-record"
    wait "$pid"; sleep 0.3
    z1=$(qv_track_zero track-7.raw before.raw before.times "$build/quillvane-heard")
    if [ "$again" = fresh ]; then
      z2=$(qv_track_zero_at track-7.raw after.raw after.times "$build/quillvane-heard" 0.5)
    else
      z2=$(qv_track_zero track-7.raw after.raw after.times "$build/quillvane-heard")
    fi
    qv_sound_stop; qv_sound_start "$work/sound"; qv_keys_start "$build/quillvane-presskeys"
    [ -n "$z1" ] && [ -n "$z2" ] && awk -v a="$z1" -v b="$z2" 'BEGIN { printf "%.1f\n", (b - a) / 1e6 }' >> back.txt
  done
  read -r zm zl zh < <(stats < back.txt)
  row "the music after the server is killed and started again ($again), ms behind the wall clock, $(wc -l < back.txt) runs" \
    "$zm ($zl–$zh)" "—" "within ±30" "$(awk -v l="$zl" -v h="$zh" 'BEGIN { print (l >= -30 && h <= 30) ? "yes" : "**no**" }')"
done

# Memory with the sound server's client in the process.
if [ -z "${mem_floor:-}" ]; then
  floor --samples 4 --seconds 12
  mem_floor=$(field "$trace" peak-rss-kib)
fi
sound_demo 10; sleep 6; kill "$pid"; wait "$pid"
row "peak memory on the sound server, 10 s track (MiB)" "$(awk -v k="$(field "$trace" peak-rss-kib)" 'BEGIN { printf "%.1f", k / 1024 }')" \
  "$(awk -v k="$mem_floor" 'BEGIN { printf "%.1f", k / 1024 }')" "≤ floor + 10" "$(holds "$(field "$trace" peak-rss-kib)" '<=' "$mem_floor + 10240")"
