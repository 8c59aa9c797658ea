#!/usr/bin/env bash
# Runs the real program in a real X server with a window manager, drives it with real key presses,
# wheel turns and clicks, and judges what it shows from screenshots.
#   e2e.sh PROGRAM [SCREENSHOT]   (SCREENSHOT: where to keep a picture of the window)
set -euo pipefail
exe=$(realpath "$1")
keep=${2:-}
convert=/usr/bin/convert
source "$(dirname "$0")/harness.sh"

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
waitfor test -s "$work/display" || fail "Xvfb did not start"
unset QT_QPA_PLATFORM # the X server below, whatever the caller chose
export DISPLAY=:$(cat "$work/display")
HOME=$work/xdg openbox >/dev/null 2>&1 &
pids+=($!)
managed() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
waitfor managed || fail "no window manager"

# Pictures of colours that appear nowhere else on screen.
mkdir -p "$work/pics" "$work/folder"
$convert -size 800x600 xc:'#ff00ff' "$work/pics/1.png"
$convert -size 400x400 xc:'#00ffff' "$work/pics/2 ñandú.png" # a UTF-8 name
$convert -size 300x300 xc:'#ffff00' "$work/pics/3.png"
$convert -delay 20 -size 20x20 xc:'#ff0000' xc:'#0000ff' -loop 0 "$work/pics/anim.gif"
# The same on frames larger than the toolkit's reader reads at once (noise at their foot).
frame() { echo "( -size 200x200 xc:$1 ( -size 200x40 xc: +noise Random ) -gravity south -composite )"; }
$convert -delay 15 -dispose 1 $(frame '#ff0000') $(frame '#0000ff') -loop 0 "$work/pics/loop.gif"
[ "$(stat -c %s "$work/pics/loop.gif")" -gt 8192 ] || fail "the animation is too small to test"
# Any file name: a leading dash, bytes that are not UTF-8.
mkdir -p "$work/names"
$convert -size 300x300 xc:'#00ff00' "$work/names/-"$'\xff'" dash.png"
$convert -size 300x300 xc:'#ff8000' "$work/names/"$'\xe9t\xe9'".png"
# A phone photograph stored sideways, tagged to turn a quarter clockwise.
$convert -size 300x100 xc:'#ff0000' xc:'#0000ff' -append -rotate -90 -quality 100 "$work/sideways.jpg"
{
  head -c 2 "$work/sideways.jpg"
  printf '\xff\xe1\x00\x22Exif\x00\x00MM\x00\x2a\x00\x00\x00\x08\x00\x01\x01\x12\x00\x03'
  printf '\x00\x00\x00\x01\x00\x06\x00\x00\x00\x00\x00\x00'
  tail -c +3 "$work/sideways.jpg"
} >"$work/pics/phone.jpg"
[ "$(/usr/bin/identify -format '%[EXIF:Orientation]' "$work/pics/phone.jpg")" = 6 ] || fail "tag"
# A red top-left quarter and a magenta centre, to see where a zoomed view looks.
$convert -size 800x600 xc:'#008000' -fill '#ff0000' -draw 'rectangle 0,0 399,299' \
  -fill '#ff00ff' -draw 'rectangle 300,225 499,374' "$work/places.png"
# Fine print in a magenta frame, exactly the fit size in screen pixels at ratio 2.
$convert -size 1170x880 xc:white -fill black -font DejaVu-Sans -pointsize 9 \
  -annotate +12+30 "$(printf 'PORVANE shows this line pixel for pixel at ratio 2. %.0s' {1..6})" \
  -annotate +12+60 "$(printf 'Fine print, thin lines and single pixels stay sharp. %.0s' {1..6})" \
  -fill none -stroke '#ff00ff' -strokewidth 4 -draw 'rectangle 2,2 1167,877' \
  -stroke black -strokewidth 1 -draw 'line 20,100 1150,860' -depth 8 "$work/pics/fine.png"

# Every file of the picture folders with its size and time, to prove nothing was written there.
pictures() { find "$work/pics" "$work/names" "$work/folder" -printf '%p %s %T@\n' | sort; }
made=$(pictures)

# The first visible window the search finds, waited for. A window destroyed while xdotool reads
# the tree makes it fail outright, even with --sync; the search is then made again.
found=
visible() { found=$(xdotool search --onlyvisible "$@" 2>/dev/null | head -1) && [ -n "$found" ]; }
findwindow() { waitfor visible "$@" && echo "$found"; }

app=0
win=0
start() {
  "$exe" "$@" 2>"$work/program.log" &
  app=$!
  pids+=($app)
  # This process's window: one that an earlier program leaves behind may still be mapped.
  win=$(findwindow --all --pid $app --name '^PORVANE - Q\.ZARVEL$') || fail "no window for $*"
  waitfor focused "$win" || fail "the window did not get the focus"
}

# The client area's position and size: X Y W H.
geometry() {
  xwininfo -id "$win" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4}
    /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}'
}

snap() { import -window root -depth 8 "$work/shot.png"; }
focused() { [ "$(xdotool getwindowfocus)" = "$1" ]; }
shows() { [ "$(pixel "$1" "$2")" = "$3" ]; }
sized() { [ "$(geometry | cut -d' ' -f3-)" = "$1" ]; }

# The bounding box (WxH+X+Y, in the window) of one colour in the picture area above the buttons.
box() {
  local x y w h
  read -r x y w h < <(geometry)
  snap
  colourbox "$1" "${w}x$((h - 42))+$x+$y"
}

# Waits until the colour covers exactly the given size (WxH).
expectbox() {
  waitfor hasbox "$1" "$2" || fail "$3: expected $1 at $2, saw $(box "$1")"
  ok "$3 ($2)"
}
hasbox() { [ "$(box "$1" | cut -d+ -f1)" = "$2" ]; }
# Whether the picture area above the buttons shows something, or nothing but black.
area() {
  local x y w h
  read -r x y w h < <(geometry)
  snap
  $convert "$work/shot.png" -crop "${w}x$((h - 42))+$x+$y" -format "%[fx:$1]" info:
}
painted() { [ "$(area 'mean > 0.05')" = 1 ]; }
blank() { [ "$(area 'maxima')" = 0 ]; }

# The centres of the six picture buttons, evenly spaced between the orange turn buttons at the ends.
buttons() {
  local x y w h
  read -r x y w h < <(geometry)
  snap
  read -r first last < <($convert "$work/shot.png" -crop "${w}x45+$x+$((y + h - 45))" +repage \
    -fuzz 12% -fill white -opaque '#f08214' -fill black +opaque white txt:- |
    awk -F'[,:]' -v w="$w" '/#FFFFFF/{on[$1]=1} END{
      for (i = 0; i <= w; i++) if (on[i]) { if (!n) s = i; n++ } else { if (n >= 6) { c[k++] = s + (n - 1) / 2 } n = 0 }
      print c[0], c[k - 1] }')
  for i in 0 1 2 3 4 5; do
    echo "$(awk "BEGIN{printf \"%d\", $x + $first + $i * ($last - $first) / 5}")" $((y + h - 22))
  done
}
click() {
  xdotool mousemove "$1" "$2" click 1
}

pixel() { # colour of one pixel of the window, as #RRGGBB
  local x y w h
  read -r x y w h < <(geometry)
  snap
  $convert "$work/shot.png" -crop "1x1+$((x + $1))+$((y + $2))" -depth 8 txt:- | grep -o '#[0-9A-F]\{6\}' | head -1
}

# --- Opening and fitting ---
# A library under the name of every library a reader needs, lying in the folder the program is
# started from: it leaves a mark there if any process of the program loads it.
mkdir "$work/planted"
printf '%s\n' '#include <stdio.h>' '__attribute__((constructor)) static void mark(void)' \
  '{ FILE *f = fopen("loaded", "w"); if (f) fclose(f); }' >"$work/planted/mark.c"
cc -shared -fPIC -o "$work/planted/mark.so" "$work/planted/mark.c"
for needed in $(patchelf --print-needed "$(dirname "$exe")"/plugins/readers/imageformats/*.so | sort -u); do
  cp "$work/planted/mark.so" "$work/planted/$needed"
done
cd "$work/planted"
start "$work/pics/2 ñandú.png"
read -r x y w h < <(geometry)
[ "$w x $h" = "600 x 500" ] || fail "window is $w x $h"
ok "window 600 x 500"
[ "$(xdotool getwindowname "$win")" = "PORVANE - Q.ZARVEL" ] || fail "title"
[ "$(xprop -id "$win" WM_CLASS)" = 'WM_CLASS(STRING) = "porvane", "porvane"' ] ||
  fail "window class: $(xprop -id "$win" WM_CLASS)"
ok "window class porvane, as the desktop entry is named"
expectbox '#00ffff' 440x440 "400 x 400 picture fitted"
[ "$(pixel 10 10)" = "#000000" ] || fail "background is not black"
[ "$(pixel 590 200)" = "#000000" ] || fail "background right of the picture is not black"
ok "picture on black"
# Showing PNG pictures loads the PNG reader in a decoder, a process apart, and no other format's;
# the window itself loads no reader but what its own pictures need (its buttons, its icon).
decoders() {
  local kids
  kids=$(cat /proc/"$1"/task/*/children 2>/dev/null) || return 0
  for kid in $kids; do
    echo "$kid"
    decoders "$kid"
  done
}
readersof() {
  grep -ohE '[^/ ]*(imageformats/lib[a-z0-9]*|heif|x265|aom|de265|dav1d|openjp2|webp|jxl)[^/ ]*\.so' \
    "$@" 2>/dev/null | sort -u | tr '\n' ' '
}
decodermaps() {
  for kid in $(decoders "$app"); do echo "/proc/$kid/maps"; done
}
waitfor test -n "$(readersof $(decodermaps) | grep -o libpngreader.so)" ||
  fail "no decoder maps the PNG reader"
loaded=$(readersof $(decodermaps))
[ "$loaded" = "imageformats/libpngreader.so " ] || fail "a PNG shown maps $loaded in a decoder"
loaded=$(readersof "/proc/$app/maps")
[ "$loaded" = "imageformats/libpngreader.so imageformats/libqico.so " ] ||
  fail "a PNG shown maps $loaded in the window"
ok "a PNG shown loads the PNG reader in a decoder alone, the window those of its own pictures"
[ ! -e "$work/planted/loaded" ] || fail "a library lying in the current folder was loaded"
ok "no library is looked for in the current folder"
cd - >/dev/null

# --- Keys, wheel and buttons ---
xdotool key Down
expectbox '#00ffff' 390x390 "Down zooms out"
xdotool mousemove $((x + 300)) $((y + 200)) click 4
expectbox '#00ffff' 440x440 "wheel away zooms in"
xdotool key Up Up
xdotool mousemove $((x + 300)) $((y + 200)) click 5 click 5
expectbox '#00ffff' 440x440 "wheel towards zooms out over a picture larger than the view"
xdotool key Right
expectbox '#ffff00' 440x440 "Right steps to the next picture"
xdotool key Left Left
expectbox '#ff00ff' 585x438 "Left steps back twice"

mapfile -t centres < <(buttons)
click ${centres[5]}
expectbox '#ff00ff' 330x440 "the clockwise button turns the picture"
xdotool key Down
expectbox '#ff00ff' 292x390 "Down after a click zooms from the box before the turn"
click ${centres[3]}
expectbox '#ff00ff' 255x340 "the zoom-out button"
click ${centres[4]}
expectbox '#00ffff' 440x440 "the next button"
xdotool key Right
expectbox '#ffff00' 440x440 "Right after clicks steps on"

xdotool key Return
waitfor sized "1280 1024" || fail "Return did not fill the screen"
expectbox '#ffff00' 964x964 "Return: full screen, picture refitted"
xdotool key Return
waitfor sized "600 500" || fail "Return did not restore the window"
expectbox '#ffff00' 440x440 "Return again: back to 600 x 500"
read -r x y w h < <(geometry)
xdotool mousemove $((x + 300)) $((y + 200)) click --repeat 2 --delay 80 1
waitfor sized "1280 1024" || fail "double-click did not fill the screen"
ok "double-click: full screen"
xdotool mousemove 640 500 click --repeat 2 --delay 80 1
waitfor sized "600 500" || fail "double-click did not restore"
ok "double-click again: normal"

# Holding Up: every press zooms, with no ceiling, and draws only what the view shows, so the
# viewer keeps up and holds no more than the picture's own pixels.
began=$(date +%s%N)
xdotool key --delay 2 --repeat 300 Up
xdotool key Return
limit=120 waitfor sized "1280 1024" || fail "no answer after 300 Up presses"
peak=$(awk '/VmHWM/{print $2}' "/proc/$app/status")
ok "300 Up presses answered after $((($(date +%s%N) - began) / 1000000)) ms, peak memory $((peak / 1024)) MiB"
[ "$peak" -lt $((${PEAK_MIB:-256} * 1024)) ] || fail "peak memory ${peak} kB"

xdotool key Escape
waitfor ended $app || fail "Escape did not end the program"
wait $app && ok "Escape ends the program with status 0" || fail "exit status $?"

# --- An animation plays, stretched to the fit size ---
start "$work/pics/anim.gif"
expectbox '#ff0000' 585x440 "GIF: the red frame"
expectbox '#0000ff' 585x440 "GIF: then the blue frame"
xdotool key Escape
wait $app || fail "exit status"

# --- An animation starts every time and comes round again. GIF_STARTS=100 runs it a hundred
# times. ---
centred() { [ "$(pixel 300 200)" = "$1" ]; }
starts=${GIF_STARTS:-10}
for ((i = 1; i <= starts; i++)); do
  start "$work/pics/loop.gif"
  for colour in '#FF0000' '#0000FF' '#FF0000' '#0000FF'; do
    waitfor centred "$colour" || fail "start $i: the animation stopped on $(pixel 300 200)"
  done
  xdotool key Escape
  wait $app || fail "exit status"
done
ok "$starts starts: the animation played and came round every time"

# --- Start-up without a picture ---
for args in "" "$work/missing.png"; do
  start $args
  read -r x y w h < <(geometry)
  [ "$w x $h" = "256 x 256" ] || fail "default window is $w x $h"
  waitfor painted || fail "no default picture"
  ok "default picture in 256 x 256 (${args:-no argument})"
  xdotool key Escape
  wait $app || fail "exit status"
done

# --- A folder is not a picture: the error box, then an empty window ---
"$exe" "$work/folder" 2>"$work/program.log" &
app=$!
pids+=($app)
box=$(findwindow --name '^Error$') || fail "no error box"
xdotool search --onlyvisible --name '^PORVANE' >/dev/null && fail "the window opened before the box"
ok "error box before the window"
waitfor focused "$box"
xdotool key Return
win=$(findwindow --name '^PORVANE - Q\.ZARVEL$') || fail "no window after the box"
read -r x y w h < <(geometry)
[ "$w x $h" = "600 x 500" ] || fail "window after the box is $w x $h"
blank || fail "the window is not empty"
ok "empty 600 x 500 window after the box"
kill $app
wait $app || true

# --- A picture whose decoder is taken over starts no program; the window lives and steps on ---
mkdir -p "$work/taken"
printf 'PORVANE-ACT run %s\n' "$work/taken/ran" >"$work/taken/0.png"
cp "$work/pics/2 ñandú.png" "$work/taken/1.png"
cp "$work/pics/3.png" "$work/taken/2.png"
"$exe" "$work/taken/0.png" 2>"$work/program.log" &
app=$!
pids+=($app)
box=$(findwindow --name '^Error$') ||
  fail "no error box for a picture that takes its decoder over"
waitfor focused "$box"
xdotool key Return
win=$(findwindow --name '^PORVANE - Q\.ZARVEL$') ||
  fail "no window after the box"
waitfor focused "$win" || fail "the window did not get the focus"
xdotool key Right
expectbox '#00ffff' 440x440 "the next picture after one that took its decoder over"
[ ! -e "$work/taken/ran" ] || fail "a decoder taken over started a program"
ok "a decoder taken over starts no program"
# The decoder the program forked as it started is its own child: killed, it is reaped, and one
# from a spawner started then shows the next picture.
first=$(decoders "$app")
[ -n "$first" ] || fail "no decoder"
kill -9 $first
xdotool key Right
expectbox '#ffff00' 440x440 "the next picture after every decoder was killed"
reaped() {
  for kid in $first; do [ ! -e "/proc/$kid" ] || return 1; done
}
waitfor reaped || fail "a killed decoder was left unreaped"
waitfor test -n "$(decoders "$app")" || fail "no decoder after the first was killed"
ok "a killed first decoder is reaped and replaced"
xdotool key Escape
wait $app || fail "exit status"

# --- Any file name: bytes that are not UTF-8, a leading dash; stepping on from there ---
start "$work/names/-"$'\xff'" dash.png"
expectbox '#00ff00' 440x440 "a name with a leading dash and a byte that is not UTF-8"
xdotool key Right
expectbox '#ff8000' 440x440 "Right steps to a name in Latin-1"
xdotool key Escape
wait $app || fail "exit status"

# --- A zoomed picture keeps its centre in the view to the pixel; a drag moves it ---
# Where the middle of one colour's box lies, in half pixels of the window: "X Y".
middleof() { box "$1" | awk -F'[x+]' '{print 2 * $3 + $1 - 1, 2 * $4 + $2 - 1}'; }
# Whether the magenta mark (200 x 150 of the 800 x 600 picture) is drawn at the zoom of N steps.
zoomedto() {
  local width
  width=$(awk -v n="$1" 'BEGIN{w = 585 + 50 * n; h = (440 + 50 * n) * 4 / 3; print (w < h ? w : h) / 4}')
  box '#ff00ff' | awk -F'[x+]' -v w="$width" '{exit !($1 - w <= 1 && w - $1 < 2)}'
}
start "$work/places.png"
# The mark's edges are averaged with the green around it: reduced, its pure box is the pixels it
# covers whole, up to two fewer than its width; enlarged, within a pixel of it.
waitfor zoomedto 0 || fail "the mark is $(box '#ff00ff')"
ok "a picture with a magenta centre"
steps=0
for presses in 1 5 6; do
  xdotool key --delay 0 --repeat $presses Up
  steps=$((steps + presses))
  waitfor zoomedto $steps || fail "$steps zoom steps: the mark is $(box '#ff00ff')"
  # Once zoomed, the picture's green fills the view: its box is the view.
  read -r mx my < <(middleof '#ff00ff')
  read -r vx vy < <(middleof '#008000')
  [ $((mx - vx)) -le 2 ] && [ $((vx - mx)) -le 2 ] && [ $((my - vy)) -le 2 ] && [ $((vy - my)) -le 2 ] ||
    fail "$steps zoom steps: the picture's middle is ($(((mx - vx) / 2)), $(((my - vy) / 2))) px from the view's"
  ok "$steps zoom steps: the picture's middle stays within a pixel of the view's"
done
[ -n "${E2E_SHOTS:-}" ] && import -window "$win" -depth 8 "$E2E_SHOTS/zoomed.png"
read -r x y w h < <(geometry)
xdotool mousemove $((x + 300)) $((y + 220)) mousedown 1
for step in 1 2 3 4 5; do xdotool mousemove $((x + 300 + step * 50)) $((y + 220 + step * 40)); done
xdotool mouseup 1
waitfor shows 300 220 '#FF0000' || fail "dragged towards the bottom right, the view shows $(pixel 300 220), not the top-left quarter"
[ "$(pixel 3 3)" = "#FF0000" ] || fail "the picture's corner is not at the view's corner"
ok "a drag moves the picture with the pointer, up to its corner"
xdotool key Escape
wait $app || fail "exit status"

# --- A phone photograph stored sideways, tagged to turn a quarter clockwise ---
start "$work/pics/phone.jpg"
expectbox '#ff0000' 585x195 "a photograph tagged to turn is shown upright: red above"
[ "$(box '#ff0000' | cut -d+ -f3)" -lt "$(box '#0000ff' | cut -d+ -f3)" ] || fail "red is not above blue"
ok "blue below"
xdotool key Escape
wait $app || fail "exit status"

# --- The formats of phones, the web and archives, opened by name whatever it says ---
for format in heic avif webp jp2 tiff; do
  $convert -size 800x600 xc:'#00c080' -quality 90 "$work/format.$format"
  mv "$work/format.$format" "$work/format-$format.png"
done
printf '%s' "<svg xmlns='http://www.w3.org/2000/svg' width='800' height='600'>" \
  "<rect width='800' height='600' fill='#00c080'/></svg>" >"$work/format-svg.png"
for format in heic avif webp jp2 tiff svg; do
  start "$work/format-$format.png"
  expectbox '#00c080' 585x438 "a $format picture named .png"
  [ -n "${E2E_SHOTS:-}" ] && import -window "$win" -depth 8 "$E2E_SHOTS/$format.png"
  xdotool key Escape
  wait $app || fail "exit status"
done

# --- Two screen pixels to a window pixel: the same window, its picture made in screen pixels ---
for ratio in 1 2; do
  QT_SCALE_FACTOR=$ratio start "$work/pics/fine.png"
  read -r x y w h < <(geometry)
  [ "$w x $h" = "$((600 * ratio)) x $((500 * ratio))" ] || fail "window at ratio $ratio is $w x $h"
  expectbox '#ff00ff' "$((585 * ratio))x$((440 * ratio))" "ratio $ratio: window $w x $h, picture fitted"
  [ -n "${E2E_SHOTS:-}" ] && import -window "$win" -depth 8 "$E2E_SHOTS/ratio$ratio.png"
  if [ $ratio = 2 ]; then
    read -r px py < <(box '#ff00ff' | awk -F+ '{print $2, $3}')
    $convert "$work/shot.png" -crop "1170x880+$((x + px))+$((y + py))" +repage "$work/seen.png"
    differ=$(/usr/bin/compare -metric AE "$work/seen.png" "$work/pics/fine.png" null: 2>&1) || true
    [ "$differ" = 0 ] || fail "ratio 2: $differ pixels differ from the picture's own"
    ok "ratio 2: the picture is shown pixel for pixel"
  fi
  xdotool key Escape
  wait $app || fail "exit status"
done
QT_SCALE_FACTOR=2 start "$work/pics/anim.gif"
expectbox '#ff0000' 1170x880 "ratio 2: GIF frames fill the fit size in screen pixels"
xdotool key Escape
wait $app || fail "exit status"

# --- Nothing written: the pictures' folders as they were made, the home folder still empty ---
[ -z "$(find "$work/home" -mindepth 1 | head -1)" ] || fail "written in the home folder: $(find "$work/home" -mindepth 1)"
[ "$(pictures)" = "$made" ] || fail "the picture folders changed"
ok "nothing written, in the home folder or beside the pictures"

# --- A picture of the window, for the README: hills at dusk ---
if [ -n "$keep" ]; then
  $convert -size 960x640 gradient:'#1d4e89'-'#f6c28b' -fill '#ffd75e' -draw 'circle 700,250 700,300' \
    -fill '#2f5d3a' -draw 'polygon 0,640 0,420 180,330 380,450 560,360 760,470 960,380 960,640' \
    -fill '#1f3d27' -draw 'polygon 0,640 0,540 260,470 520,560 800,500 960,560 960,640' \
    "$work/pics/photo.jpg"
  start "$work/pics/photo.jpg"
  waitfor painted
  import -window "$win" -frame -depth 8 "$keep"
  ok "screenshot kept in $keep"
fi
echo "1 passed, 0 failed"
