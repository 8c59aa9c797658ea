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
decoder=$(find "$prefix" -path '*/porvane/decoder' -type f)
[ -n "$decoder" ] && [ -x "$decoder" ] || fail "no decoder program beside the readers"
! find "$prefix" -name '*actsreader*' | grep -q . || fail "the suites' own reader is installed"
echo "ok: the decoder program beside the readers, and no reader of the suites'"
entry=$prefix/share/applications/porvane.desktop
desktop-file-validate "$entry" || fail "the desktop entry is not valid"
grep -qx 'Exec=porvane %f' "$entry" || fail "the entry does not open one file"
types="image/png image/jpeg image/gif image/heic image/avif image/webp image/tiff image/jxl image/jp2 image/svg+xml"
for type in $types; do
  grep '^MimeType=' "$entry" | tr '=;' '\n\n' | grep -qx "$type" || fail "$type is not offered"
done
echo "ok: desktop entry valid, opens $types"

icon=$prefix/share/icons/hicolor/256x256/apps/porvane.png
[ "$(/usr/bin/identify -format '%m %wx%h' "$icon")" = "PNG 256x256" ] || fail "icon is not a 256 x 256 PNG"
differ=$(/usr/bin/compare -metric AE "$icon" "$source/win/porvane.ico[0]" null: 2>&1) || true
[ "$differ" = 0 ] || fail "the icon differs from the window icon in $differ pixels"
echo "ok: icon 256 x 256, the window icon's own picture"

MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/porvane.1.gz" 2>"$prefix/man.log" >"$prefix/man.txt"
[ ! -s "$prefix/man.log" ] || fail "the manual page renders with warnings: $(cat "$prefix/man.log")"
for word in Escape Return 'EXIT STATUS' FILES Wayland; do
  grep -q "$word" "$prefix/man.txt" || fail "the manual page does not speak of $word"
done
echo "ok: manual page renders without warnings"

appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/org.example.porvane.metainfo.xml" >/dev/null ||
  fail "the AppStream entry is not valid"
grep -q '<launchable type="desktop-id">porvane.desktop</launchable>' \
  "$prefix/share/metainfo/org.example.porvane.metainfo.xml" || fail "the AppStream entry launches nothing"
echo "ok: AppStream entry valid, launches porvane.desktop"

# The Debian package holds what is installed, depends on the toolkit and its platform plugins, and
# its program runs.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$prefix/deb" >/dev/null
deb=$(ls "$prefix"/deb/porvane_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$prefix/contents"
for file in usr/bin/porvane usr/share/applications/porvane.desktop \
  usr/share/icons/hicolor/256x256/apps/porvane.png usr/share/man/man1/porvane.1.gz \
  usr/share/metainfo/org.example.porvane.metainfo.xml; do
  grep -qx "./$file" "$prefix/contents" || fail "the package lacks $file"
done
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6widgets6 qt6-qpa-plugins qt6-wayland qt6-image-formats-plugins libqt6svg6 \
  libheif1 libjxl0.7 libopenjp2-7 libde265-0 libseccomp2; do
  [[ $depends == *"$package"* ]] || fail "the package does not depend on $package: $depends"
done
dpkg-deb -x "$deb" "$prefix/root"
QT_QPA_PLATFORM=offscreen "$prefix/root/usr/bin/porvane" "$source/resources/images/main.png" &
viewer=$!
sleep 1
kill -0 $viewer 2>/dev/null || fail "the packaged program did not keep running"
kill $viewer
echo "ok: $(basename "$deb") holds the program, entry, icon, manual and AppStream entry; its program runs"
