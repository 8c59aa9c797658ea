#!/usr/bin/env bash
# Runs the folder suite's missing-library case from a copy laid out as the program is installed,
# its readers beside it, the HEIF reader's libheif replaced by a library that does not exist.
#   missing.sh SUITE PLUGINS RELATIVE
set -euo pipefail
suite=$1 plugins=$2 relative=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/bin/$relative"
cp "$suite" "$work/bin/"
cp -r "$plugins/." "$work/bin/$relative/"
reader="$work/bin/$relative/readers/imageformats/libheifreader.so"
needed=$(patchelf --print-needed "$reader" | grep '^libheif\.so')
patchelf --replace-needed "$needed" libporvane-absent.so.1 "$reader"
QT_QPA_PLATFORM=offscreen "$work/bin/$(basename "$suite")" missingLibrary 2>&1 | tee "$work/log"
grep -q '^PASS   : .*missingLibrary()' "$work/log"
