#!/bin/bash
# Runs a Windows test program (platform_win_test.exe, image_batch_win_test.exe)
# under wine: usage
#   tests/windows/run_platform_test.sh path/to/test.exe [gtest options]
# Prepares what the tests need and names it in the environment:
#   - drive m: mapped to an empty folder whose volume label is TESTVOL (wine
#     reads a folder drive's label from .windows-label in its root),
#   - drive n: mapped to a folder that does not exist (a drive not ready),
#   - a FAT12 floppy image made by mformat and mcopy, and the folder mtools
#     extracts it to, to compare with what the image drive reads,
#   - a folder of images for the --images batch.
# WINEPREFIX defaults to a prefix of its own below /tmp.
set -euo pipefail
exe=$(readlink -f "$1")
shift
wine=${WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=${WINEPREFIX:-/tmp/sorvane2-platform-wine}
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=${TEST_LANG:-ja_JP.UTF-8}
work=$(mktemp -d /tmp/sorvane2-wintest.XXXXXX)
trap 'rm -rf "$work"' EXIT

if [ ! -d "$WINEPREFIX/dosdevices" ]; then
    "$wine" wineboot --init >/dev/null 2>&1 || true
fi
# The drives are taken when the prefix's server starts: let a running one end
# before the letters below are made.
"${WINESERVER:-/usr/lib/wine/wineserver}" -w || true
mkdir -p "$work/mdrive"
printf 'TESTVOL\n' > "$work/mdrive/.windows-label"
ln -sfn "$work/mdrive" "$WINEPREFIX/dosdevices/m:"
ln -sfn "$work/gone" "$WINEPREFIX/dosdevices/n:"

# The image: a 1.44 MB floppy with a label, a long name, a sub folder, and
# files of several sizes; then what mtools itself reads back from it.
src="$work/src"
mkdir -p "$src/SUB/DEEPER"
printf 'read me\r\n' > "$src/README.TXT"
head -c 70000 /dev/urandom > "$src/SUB/BIG.BIN"
printf 'deep' > "$src/SUB/DEEPER/D.TXT"
printf 'long' > "$src/Long File Name.txt"
: > "$src/EMPTY.DAT"
image="$work/disk.img"
mformat -C -f 1440 -v SORVTEST -i "$image" ::
mcopy -s -i "$image" "$src"/* ::
mkdir -p "$work/extracted"
mcopy -s -n -i "$image" '::*' "$work/extracted/"

# A folder of images for the --images batch: two floppies and a file that is none.
batch="$work/batch"
mkdir -p "$batch"
mformat -C -f 1440 -v GAME1 -i "$batch/GAME1.IMG" ::
mcopy -i "$batch/GAME1.IMG" "$src/README.TXT" "$src/EMPTY.DAT" ::
mformat -C -f 720 -v GAME2 -i "$batch/GAME2.IMG" ::
mcopy -i "$batch/GAME2.IMG" "$src/README.TXT" ::
printf 'not a disk\n' > "$batch/NOTADISK.IMG"

winpath() { echo "Z:${1//\//\\}"; }
export SORVANE2_TEST_DRIVE=m
export SORVANE2_TEST_MISSING=n
export SORVANE2_TEST_IMAGE=$(winpath "$image")
export SORVANE2_TEST_IMAGE_FILES=$(winpath "$work/extracted")
export SORVANE2_TEST_BATCH=$(winpath "$batch")
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
cd "$(dirname "$exe")"
status=0
"$wine" "$exe" "$@" || status=$?
rm -f "$WINEPREFIX/dosdevices/m:" "$WINEPREFIX/dosdevices/n:"
exit $status
