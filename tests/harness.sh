# What the end-to-end scripts share: a session bus, a scratch folder with its own home and runtime
# folders, the processes to end, and how a check passes, fails or waits. Sourced; sets $work.

# The script runs again inside a session bus of its own: without one, libdbus starts a bus for the
# toolkit's accessibility bridge wherever dbus-x11 is installed, and that bus writes in the home
# folder the test proves untouched.
if [ -z "${E2E_OWN_BUS:-}" ]; then
  export E2E_OWN_BUS=1
  exec dbus-run-session -- bash "$0" "$@"
fi
work=$(mktemp -d)
mkdir -m 700 "$work/xdg" "$work/home"
export XDG_RUNTIME_DIR=$work/xdg HOME=$work/home
unset XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  [ -s "$work/program.log" ] && { echo "--- what the program printed:"; tail -40 "$work/program.log"; }
  [ -f "$work/shot.png" ] && cp "$work/shot.png" /tmp/porvane-e2e-failure.png && echo "last screenshot: /tmp/porvane-e2e-failure.png"
  exit 1
}
ok() { echo "ok: $*"; }

# Microseconds since the epoch: $SECONDS ticks in whole seconds, too coarse for a one-second limit.
now() { echo "${EPOCHREALTIME/./}"; }

# Waits for a command to succeed, up to $limit seconds (20 unless set).
waitfor() {
  local end=$(($(now) + ${limit:-20} * 1000000))
  until "$@" >/dev/null 2>&1; do
    [ "$(now)" -lt $end ] || return 1
    sleep 0.05
  done
}

ended() { ! kill -0 "$1"; }

# The bounding box (WxH+X+Y) of one colour in the part W x H + X + Y of the screenshot.
colourbox() {
  /usr/bin/convert "$work/shot.png" -crop "$2" +repage -fuzz 6% -fill black +opaque "$1" \
    -fill white -opaque "$1" -format '%@' info: 2>/dev/null
}
