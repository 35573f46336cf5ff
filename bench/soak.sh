# Ten minutes of the demo with P, Space and the frame-rate keys pressed every few seconds, on the X
# server that with-xvfb started. Resident memory at the end must be within 1 MiB of the first
# minute's, and the music must never run dry. Usage: bench/soak.sh BUILD_DIR [SECONDS]
set -uo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-600}
. "$(dirname "$0")/../scripts/xhelpers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/quillvane-compose" sample.ogg --seconds $((seconds + 120))
printf '0\n0\n1024\n768\n1\n0\n4\n1\n60\n1\n0' > settings.conf
QUILLVANE_TRACE="$work/trace" "$build/quillvane" &
pid=$!
qv_wait 15 qv_window_id >/dev/null
rss() { awk '/VmRSS/ { print $2 }' "/proc/$pid/status"; }
keys=(3 p p 5 space 6 p space p 3 6)
start=$(date +%s)
i=0
while [ $(( $(date +%s) - start )) -lt "$seconds" ]; do
  qv_key "${keys[i % ${#keys[@]}]}" >/dev/null 2>&1
  i=$((i + 1))
  sleep 3
  [ -z "${first:-}" ] && [ $(( $(date +%s) - start )) -ge 60 ] && first=$(rss)
done
last=$(rss)
qv_key p >/dev/null 2>&1  # leave it running, whichever state the keys left
qv_key Escape >/dev/null 2>&1
wait "$pid"
underruns=$(awk '$1 == "underruns" { print $2 }' trace)
growth=$((last - first))
echo "soak: $i key presses over $seconds s; resident memory $first KiB after a minute, $last KiB at the end ($growth KiB); underruns $underruns"
[ "$growth" -le 1024 ] && [ "$underruns" = 0 ]
