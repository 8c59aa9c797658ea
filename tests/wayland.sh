#!/usr/bin/env bash
# Runs the real program as a native Wayland client of a headless sway, with no X server and no
# Xwayland to fall back on, drives it with keys from a virtual keyboard, and judges the window from
# the compositor's own account of it and from screenshots.
#   wayland.sh PROGRAM
set -euo pipefail
exe=$(realpath "$1")
source "$(dirname "$0")/harness.sh"

# sway will not run as root: there it runs as nobody, with a runtime folder of its own.
chmod 755 "$work"
mkdir -m 700 "$work/sway"
asuser=()
if [ "$(id -u)" = 0 ]; then
  chown nobody "$work/sway"
  asuser=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
cat >"$work/sway.conf" <<'CONF'
xwayland disable
output HEADLESS-1 mode 1280x1024 bg #000000 solid_color
default_border none
for_window [app_id="porvane"] floating enable
CONF
"${asuser[@]}" env -i PATH=/usr/bin:/bin HOME="$work/sway" XDG_RUNTIME_DIR="$work/sway" \
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
  sway -c "$work/sway.conf" >"$work/sway.log" 2>&1 &
pids+=($!)
socket() { ls "$work"/sway/wayland-? && ls "$work"/sway/sway-ipc.*.sock; }
waitfor socket || fail "sway did not start: $(tail -5 "$work/sway.log")"
export WAYLAND_DISPLAY=$(ls "$work"/sway/wayland-?) SWAYSOCK=$(ls "$work"/sway/sway-ipc.*.sock)
export XDG_SESSION_TYPE=wayland
unset DISPLAY QT_QPA_PLATFORM
# One virtual keyboard for the whole run: a keyboard that comes and goes with each key press can
# be gone before the client has taken its key.
wtype -s 3600000 &
pids+=($!)
key() { wtype -k "$1"; }

# The viewer's window as the compositor sees it, and one field of it.
window() { swaymsg -t get_tree | jq -c '.. | objects | select(.app_id? == "porvane")'; }
field() { window | jq -r "$1"; }
sized() { [ "$(field '"\(.rect.width) \(.rect.height)"')" = "$1" ]; }
shown() { [ -n "$(window)" ]; }
focused() { [ "$(field .focused)" = true ]; }

# The bounding box of one colour in the picture area above the buttons.
box() {
  local x y w h
  read -r x y w h < <(field '"\(.rect.x) \(.rect.y) \(.rect.width) \(.rect.height)"')
  grim -g "$x,$y ${w}x$h" "$work/shot.png"
  colourbox "$1" "${w}x$((h - 42))+0+0"
}
hasbox() { [ "$(box "$1" | cut -d+ -f1)" = "$2" ]; }
expectbox() {
  waitfor hasbox "$1" "$2" || fail "$3: expected $1 at $2, saw $(box "$1")"
  ok "$3 ($2)"
}

mkdir "$work/pics"
/usr/bin/convert -size 400x400 xc:'#00ffff' "$work/pics/1.png"
/usr/bin/convert -size 300x300 xc:'#ffff00' "$work/pics/2.png"

app=0
start() {
  "$@" 2>"$work/program.log" &
  app=$!
  pids+=($app)
  waitfor shown || fail "no window for $*"
  waitfor focused || fail "the window did not get the focus"
}
# A program built with the sanitizers looks for leaks as it leaves, which takes it some 0.6 s more.
quit() {
  key Escape
  limit=${EXIT_SECONDS:-1} waitfor ended $app || {
    shown && fail "Escape did not close the window"
    fail "the window closed, but the program did not end within ${EXIT_SECONDS:-1} s"
  }
  wait $app || fail "exit status $?"
}

start "$exe" "$work/pics/1.png"
[ "$(field .shell)" = xdg_shell ] || fail "the window is not a native Wayland one: $(field .shell)"
[ "$(field .app_id)" = porvane ] || fail "app id $(field .app_id)"
ok "a native Wayland window, app id porvane"
sized "600 500" || fail "window is $(field '"\(.rect.width) x \(.rect.height)"')"
ok "window 600 x 500"
expectbox '#00ffff' 440x440 "400 x 400 picture fitted"
key Right
expectbox '#ffff00' 440x440 "Right steps to the next picture"
key Down
expectbox '#ffff00' 390x390 "Down zooms out"
key Return
waitfor sized "1280 1024" || fail "Return did not fill the screen"
expectbox '#ffff00' 964x964 "Return: full screen, picture refitted"
key Return
waitfor sized "600 500" || fail "Return did not restore the window"
expectbox '#ffff00' 440x440 "Return again: back to 600 x 500"
quit
ok "Escape ends the program within ${EXIT_SECONDS:-1} s, with status 0"

# The app id is the desktop entry's, whatever the program's file is called.
cp "$exe" "$work/another-name"
start "$work/another-name" "$work/pics/2.png"
[ "$(field .app_id)" = porvane ] || fail "renamed, the app id is $(field .app_id)"
ok "renamed, the program keeps the app id porvane"
quit
echo "1 passed, 0 failed"
