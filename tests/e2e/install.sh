# Installed as a desktop application: cmake --install into a temporary prefix, the validators, the
# manual page, the desktop entry's command run in its folder, and the Debian package built, checked
# by lintian, installed with apt, run from /usr/bin and purged without leaving a file.
. "$(dirname "$0")/lib.sh" "$1"
id=io.github.quillvane.Quillvane
prefix=$work/prefix

# run_entry ENTRY: runs the entry's Exec in its Path as a menu would, answers No, checks the window's
# class and that the installed piece plays (the title shows its length), and ends it with Escape.
run_entry() {
  local entry=$1 win
  key() { sed -n "s/^$1=//p" "$entry"; }
  cd "$(key Path)" || { fail "no folder $(key Path)"; return; }
  start "$(key Exec)"
  cd "$work"
  qv_answer no
  win=$(window)
  check "$2: WM_CLASS is StartupWMClass" "$(xprop -id "$win" WM_CLASS | sed 's/.*", "\(.*\)"$/\1/')" \
    "$(key StartupWMClass)"
  qv_key i
  check "$2: the installed piece plays" "$(qv_wait 5 sh -c "xprop -id $win WM_NAME | grep -o ' / 00:45'")" " / 00:45"
  qv_key Escape
  wait_exit 5
  check "$2: exit status" "$status" 0
  check "$2: nothing on stderr" "$(cat "$work/stderr")" ""
}

# A prefix that cannot be written: one clear error, nothing copied.
touch "$work/file"
check "an unwritable prefix is named" \
  "$(cmake --install "$build" --prefix "$work/file/usr" 2>&1 | grep -c "cannot install into $work/file/usr")" 1

cmake --install "$build" --prefix "$prefix" >/dev/null
check "cmake --install exit status" "$?" 0
entry=$prefix/share/applications/$id.desktop
for size in 48 64 128 256; do
  check "the ${size}-pixel icon" "$(identify -format '%wx%h %[channels]' \
    "$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png" 2>&1)" "${size}x${size} srgba"
done
# The icons in the tree are the cube the demo draws now.
"$build/quillvane-icons" "$work/cube.pam" "$work/cube.svg"
convert "$work/cube.pam" -filter Lanczos -resize 64x64 "$work/cube.png"
check "the icon is the demo's cube as drawn now" "$(compare -metric AE -fuzz 3% "$work/cube.png" \
  "$prefix/share/icons/hicolor/64x64/apps/$id.png" null: 2>&1)" 0
check "the scalable icon is the demo's cube as drawn now" "$(cmp -s "$work/cube.svg" \
  "$prefix/share/icons/hicolor/scalable/apps/$id.svg" && echo same)" same
check "the scalable icon" "$(head -c 300 "$prefix/share/icons/hicolor/scalable/apps/$id.svg" | grep -c '<svg')" 1
check "desktop-file-validate" "$(desktop-file-validate "$entry" 2>&1)" ""
check "appstreamcli validate" "$(appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null 2>&1; echo $?)" 0
sections=$(MANWIDTH=80 man --warnings -l "$prefix/share/man/man6/quillvane.6.gz" 2>"$work/man.err" | grep -E '^[A-Z][A-Z ]*$' | tr '\n' '|')
check "the manual page's sections" "$sections" \
  "NAME|SYNOPSIS|DESCRIPTION|KEYS|FILES|EXIT STATUS|ENVIRONMENT|SEE ALSO|"
check "the manual page renders without warnings" "$(cat "$work/man.err")" ""
run_entry "$entry" "the entry in the prefix"

# An M4A beside the installed binary plays through the module installed with it; without the module
# it is refused with the one line, as any file that cannot be played.
plays_m4a() {
  mkdir -p "$work/m4a" && cd "$work/m4a" || return
  ffmpeg -v error -y -f lavfi -i sine=duration=2 -c:a aac -f mp4 sample.ogg
  start "$1"
  cd "$work"
  qv_answer no
  local win
  win=$(window)
  qv_key i
  check "$2: an M4A plays through the module" "$(qv_wait 5 sh -c "xprop -id $win WM_NAME | grep -o ' / 00:02'")" " / 00:02"
  qv_key Escape
  wait_exit 5
  check "$2: an M4A, nothing on stderr" "$(cat "$work/stderr")" ""
}
plays_m4a "$prefix/bin/quillvane" "the prefix"
check "the module is installed in the libdir" "$(find "$prefix" -name libquillvane-ffmpeg.so | grep -c /quillvane/)" 1
find "$prefix" -name libquillvane-ffmpeg.so -delete
cd "$work/m4a" && start "$prefix/bin/quillvane"
cd "$work"
qv_answer no
wait_exit 5
check "without the module: exit status" "$status" 0
check "without the module: the one line" "$(cat "$work/stderr")" "quillvane: cannot play sample.ogg: Format not recognised."

# Without its data folder the demo runs as without sample.ogg: said once, and over at once.
rm -r "$prefix/share/quillvane"
start "$prefix/bin/quillvane"
qv_answer no
wait_exit 5
check "without the data folder: exit status" "$status" 0
check "without the data folder: as without sample.ogg" "$(grep -c 'cannot play sample.ogg' "$work/stderr")" 1

# The package. One installed by a person is left alone.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo -n"
apt_quiet() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 -y -qq "$@" >"$work/apt.log" 2>&1; }
if dpkg-query -W -f='${Status}' quillvane 2>/dev/null | grep -q installed; then
  fail "a quillvane package is installed here already; the package test would replace it"
  finish
  exit
fi
installed=0
purge() { [ "$installed" = 1 ] && apt_quiet purge quillvane; installed=0; }
trap 'purge; cleanup' EXIT

(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1)
check "cpack exit status" "$?" 0
deb=$(ls "$work"/package/*.deb 2>/dev/null | head -n1)
field() { dpkg-deb -f "$deb" "$1"; }
check "the package's section" "$(field Section)" graphics
check "the package's maintainer" "$(field Maintainer)" "Quillvane developers <quillvane@users.noreply.github.com>"
check "dependencies read from the binary" "$(field Depends | grep -o 'libglfw3\|libdbus-1-3\|libxss1' | tr '\n' ' ')" \
  "libdbus-1-3 libglfw3 libxss1 "
check "the package's description" "$(field Description | wc -l)" 5
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1
check "lintian finds no errors" "$? $(grep -c '^E:' "$work/lintian.log")" "0 0"

installed=1
apt_quiet install "$deb"
check "apt installs the package" "$?" 0
check "man finds the page" "$(man -w quillvane 2>/dev/null)" /usr/share/man/man6/quillvane.6.gz
check "the binary is in /usr/bin" "$(command -v quillvane)" /usr/bin/quillvane
run_entry /usr/share/applications/$id.desktop "the packaged entry"
plays_m4a /usr/bin/quillvane "the package"

apt_quiet purge quillvane
check "apt purges the package" "$?" 0
installed=0
left=$(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | grep -E '[^/]$|/quillvane/$' |
  while read -r f; do [ -e "$f" ] && echo "$f"; done)
check "nothing of the package is left" "$left" ""

finish
