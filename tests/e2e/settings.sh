# The settings variant carries geometry and options from one run to the next.
. "$(dirname "$0")/lib.sh" "$1"
track 30

# First run from nothing: centred, and the place it ended at is written back with centring off.
start "$settings_demo"
qv_answer no
win=$(window)
check "first run is centred" "$(qv_geometry "$win")" "448 156 1024 768"
qv_key Escape
wait_exit 5
check "exit status" "$status" 0
check "written after the first run" "$(lines)" "448 156 1024 768 0 0 4 1 60 0 1"
check "ten line ends, none after the last value" "$(tr -cd '\n' < settings.conf | wc -c)" 10

# Second run: the question again, then exactly the stored place.
start "$settings_demo"
qv_answer no
win=$(window)
check "second run at the stored place" "$(qv_geometry "$win")" "448 156 1024 768"
qv_key 3 Escape
wait_exit 5
check "frame rate key carried over" "$(lines)" "448 156 1024 768 0 0 4 1 30 0 1"

# askFullscreen 0: no question; the stored place and size are used.
printf '100\n200\n800\n600\n0\n0\n0\n1\n60\n0\n0' > settings.conf
start "$settings_demo"
win=$(window)
check "no question asked" "$(qv_box_id)" ""
check "stored place and size" "$(qv_geometry "$win")" "100 200 800 600"
qv_key Escape
wait_exit 5
check "written back unchanged" "$(lines)" "100 200 800 600 0 0 0 1 60 0 0"

# A stored corner is used where the window's top 32 pixels lie on a monitor across a quarter of its
# width (200 of 800); anywhere else, and with values past what X can carry, it is centred.
for place in "1720 1048" "1721 200" "0 1049" "2500 200" "40000 200" "2147483647 -2147483648"; do
  read -r x y <<< "$place"
  printf '%s\n%s\n800\n600\n0\n0\n0\n1\n60\n0\n0' "$x" "$y" > settings.conf
  start "$settings_demo"
  win=$(window)
  want="560 240 800 600"
  [ "$place" = "1720 1048" ] && want="1720 1048 800 600"
  check "stored corner $place" "$(qv_geometry "$win")" "$want"
  qv_key Escape
  wait_exit 5
  check "stored corner $place: exit status" "$status" 0
done

# A stored size no window can have, 0 as the window library refuses it, below (where it asserts) or
# past what X's 16-bit sizes carry: the window is not created and the run ends with -1, the file
# left as it was.
for size in "0 600" "-1 600" "1024 65536" "2147483647 2147483647"; do
  read -r w h <<< "$size"
  printf '100\n200\n%s\n%s\n0\n0\n0\n1\n60\n0\n0' "$w" "$h" > settings.conf
  start "$settings_demo"
  wait_exit 5
  check "stored size $size: exit status" "$status" 255
  check "stored size $size: nothing said" "$(cat stderr)" ""
  check "stored size $size: the file left as it was" "$(lines)" "100 200 $w $h 0 0 0 1 60 0 0"
done

# Stored fullscreen without the question: fullscreen, and the windowed size is what is written.
printf '100\n200\n800\n600\n0\n1\n0\n1\n60\n0\n0' > settings.conf
start "$settings_demo"
win=$(window)
check "stored fullscreen" "$(qv_geometry "$win")" "0 0 1920 1080"
qv_key Escape
wait_exit 5
check "fullscreen run writes the windowed size" "$(lines)" "100 200 800 600 0 1 0 1 60 0 0"

# A frame rate of 0 would never render: the run is paced at the default and still hears Escape.
printf '100\n200\n800\n600\n0\n0\n0\n1\n0\n0\n0' > settings.conf
start "$settings_demo"
win=$(window)
check "frame rate 0: the cube still turns" "$(turning "$win")" turning
qv_key Escape
wait_exit 5
check "frame rate 0: Escape still ends the run" "$status" 0
check "frame rate 0 is written back as it was" "$(lines)" "100 200 800 600 0 0 0 1 0 0 0"

# A directory in the file's place: the run goes on from the defaults and the directory stays.
rm settings.conf
mkdir settings.conf
start "$settings_demo"
qv_answer no
win=$(window)
check "defaults with a directory in the way" "$(qv_geometry "$win")" "448 156 1024 768"
qv_key Escape
wait_exit 5
check "exit status with a directory in the way" "$status" 0
check "the directory is left alone" "$(test -d settings.conf && ls -A settings.conf | wc -l)" 0
check "no temporary file is left" "$(ls -A | grep -c 'settings.conf\.')" 0
rmdir settings.conf

# A huge binary file: read no further than it must; the run starts as usual.
head -c 50000000 /dev/zero | tr '\0' '\377' > settings.conf
start "$settings_demo"
qv_answer no
win=$(window)
check "a window despite a binary settings file" "$([ -n "$win" ] && echo yes)" yes
qv_key Escape
wait_exit 5
check "exit status with a binary settings file" "$status" 0

# Ctrl+C, logout and kill end the run as the close button does: the place taken back, the file
# written, exit 0, at once.
for signal in INT TERM HUP; do
  printf '0\n0\n1024\n768\n1\n0\n0\n1\n60\n0\n0' > settings.conf
  start "$settings_demo"
  window >/dev/null
  t0=$(now)
  kill -s "$signal" "$demo"
  wait_exit 5
  check "SIG$signal: exit status" "$status" 0
  check_between "SIG$signal: seconds to the exit" "$(elapsed "$t0")" 0 1
  check "SIG$signal: the shutdown wrote the file" "$(lines)" "448 156 1024 768 0 0 0 1 60 0 0"
done

# The delivered build never touches the file.
rm -f settings.conf
start
qv_answer no
window >/dev/null
qv_key Escape
wait_exit 5
check "the delivered build writes no settings" "$(ls settings.conf 2>/dev/null)" ""

finish
