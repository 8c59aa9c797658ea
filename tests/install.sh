#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop needs to offer the viewer.
#   install.sh BUILD SOURCE
set -euo pipefail
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/porvane" ] || fail "no program in bin"
entry=$prefix/share/applications/porvane.desktop
desktop-file-validate "$entry" || fail "the desktop entry is not valid"
grep -qx 'Exec=porvane %f' "$entry" || fail "the entry does not open one file"
for type in image/png image/jpeg image/gif; do
  grep '^MimeType=' "$entry" | tr '=;' '\n\n' | grep -qx "$type" || fail "$type is not offered"
done
echo "ok: desktop entry valid, opens image/png, image/jpeg and image/gif"

icon=$prefix/share/icons/hicolor/256x256/apps/porvane.png
[ "$(/usr/bin/identify -format '%m %wx%h' "$icon")" = "PNG 256x256" ] || fail "icon is not a 256 x 256 PNG"
differ=$(/usr/bin/compare -metric AE "$icon" "$source/win/porvane.ico[0]" null: 2>&1) || true
[ "$differ" = 0 ] || fail "the icon differs from the window icon in $differ pixels"
echo "ok: icon 256 x 256, the window icon's own picture"
