# Shared by the end-to-end tests: each runs the real binary on the X server that with-xvfb started,
# in a folder of its own, and reports what it checked.
# Usage in a test: . lib.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xhelpers.sh"
xprobe="$build/tests/xprobe"

# A preload (the sanitizer build's) is for the demo alone, not for the tools that drive it.
demo_preload=${LD_PRELOAD:-}
unset LD_PRELOAD

work=$(mktemp -d)
demo=""
cleanup() {
  [ -n "$demo" ] && kill -9 "$demo" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

passes=0
failures=0
pass() { passes=$((passes + 1)); }
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# check DESCRIPTION ACTUAL EXPECTED
check() { if [ "$2" = "$3" ]; then pass; else fail "$1: got '$2', expected '$3'"; fi; }
# check_between DESCRIPTION VALUE LOW HIGH (decimal numbers)
check_between() {
  if awk -v v="$2" -v lo="$3" -v hi="$4" 'BEGIN { exit !(v >= lo && v <= hi) }'; then pass
  else fail "$1: $2 is not within $3 .. $4"; fi
}
finish() {
  echo "$passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }

# track SECONDS [compose options]: sample.ogg of that length in the test's folder.
track() { local s=$1; shift; "$build/quillvane-compose" "$work/sample.ogg" --seconds "$s" "$@"; }

# start [BINARY]: the demo in the background, its stderr kept.
start() {
  LD_PRELOAD="$demo_preload" "${1:-$build/quillvane}" 2>"$work/stderr" &
  demo=$!
}

# wait_exit SECONDS: sets status to the demo's exit status, or "running" after SECONDS.
wait_exit() {
  local end=$(( $(date +%s%N) + $1 * 1000000000 ))
  while kill -0 "$demo" 2>/dev/null && [ "$(date +%s%N)" -lt "$end" ]; do sleep 0.01; done
  if kill -0 "$demo" 2>/dev/null; then
    status=running
    kill -9 "$demo" 2>/dev/null
    wait "$demo" 2>/dev/null
  else
    wait "$demo"
    status=$?
  fi
  demo=""
}

# window: waits for the demo's window and prints its id.
window() { qv_wait 15 qv_window_id; }

# The settings variant, and its file on one line.
settings_demo="$build/quillvane-settings"
lines() { tr '\n' ' ' < settings.conf; }

# Another program's window, given the focus; sets other (its process) and otherwin (its window).
other_program() {
  xmessage -name other -geometry 300x100+0+0 "another program" &
  other=$!
  otherwin=$(qv_wait 10 sh -c "xwininfo -root -tree | awk '/\"other\"/ {print \$1; exit}'")
  sleep 0.3
  xdotool windowactivate --sync "$otherwin" 2>/dev/null || xdotool windowfocus --sync "$otherwin"
}

# The window's pixels as a checksum, and whether they change within a third of a second.
picture() { import -window "$1" rgb:- 2>/dev/null | md5sum; }
turning() {
  local a
  a=$(picture "$1")
  sleep 0.3
  [ "$a" != "$(picture "$1")" ] && echo turning
}

title() { xprop -id "$1" WM_NAME 2>/dev/null | sed -n 's/^WM_NAME([A-Z_0-9]*) = "\(.*\)"$/\1/p'; }
