#!/usr/bin/env bash
# The Windows installer under wine: a silent install puts the package folder
# in Program Files with its Start menu entries; the installed program finds
# its modules and help page and packs a mapped folder that lhasa reads; a
# silent uninstall removes what was installed and keeps the user's settings;
# with /REMOVESETTINGS it removes them too. Runs in a wine prefix of its own.
#
#   installer.sh WINDOWS_BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../cmake/windows/wine-run.sh
export SORVANE2_WINDOWS_BUILD=$build
export SORVANE2_WINEPREFIX=$build/wine-installer
prefix=$SORVANE2_WINEPREFIX
setup=$(ls "$build"/dist/sorvane2-*-setup.exe | head -1)
stage=$build/stage/Sorvane2
work=$(mktemp -d "${TMPDIR:-/tmp}/sorvane2-wine-setup.XXXXXX")
trap 'rm -f "$prefix/dosdevices/s:" "$prefix/dosdevices/t:"; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
settings='HKCU\Software\VB and VBA Program Settings\Brelmoor\Sorvane2'
legacy='HKCU\Software\VB and VBA Program Settings\Sorvane2'
has_key() { "$run" reg query "$1" >/dev/null 2>&1; }
settle() { WINEPREFIX=$prefix /usr/lib/wine/wineserver -w; }

install_silently() {
    "$run" "Z:${setup//\//\\}" /S || fail "setup.exe /S"
    settle
}
installed=$prefix/drive_c/Program\ Files/Sorvane2
menu=$prefix/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Sorvane2

install_silently
if diff -r "$stage" "$installed" -x uninstall.exe >/dev/null; then pass "installed files are the package's"
else fail "installed files differ"; diff -rq "$stage" "$installed" | head; fi
[ -f "$installed/uninstall.exe" ] && pass "uninstaller written" || fail "no uninstaller"
[ -f "$menu/Sorvane2.lnk" ] && pass "Start menu entry" || fail "no Start menu entry"
has_key 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Sorvane2' \
    && pass "listed among installed programs" || fail "no uninstall entry"

# The installed program: its self check, and a real pack from a mapped folder.
# Without the build's library folders on the path: only what the package brings.
check=$(SORVANE2_WINE_BARE=1 SORVANE2_SELF_CHECK=1 "$run" "C:\\Program Files\\Sorvane2\\sorvane2.exe" 2>&1 || true)
echo "$check" | grep -qi 'UNLHA32.DLL' && pass "self check names the modules" || { fail "self check"; echo "$check"; }
mkdir -p "$work/disk/SUB" "$work/arc"
printf 'インストール確認\r\n' > "$work/disk/SUB/確認.TXT"
head -c 300000 /dev/urandom > "$work/disk/DATA.BIN"
settle   # wine takes the drive letters when its server starts
ln -sfn "$work/disk" "$prefix/dosdevices/s:"
ln -sfn "$work/arc" "$prefix/dosdevices/t:"
if SORVANE2_WINE_BARE=1 "$run" "C:\\Program Files\\Sorvane2\\sorvane2-pack.exe" --drive s: --name SETUP --folder 'T:\'; then
    lhasa -t "$work/arc/SETUP.LZH" >/dev/null || fail "lhasa test of the archive"
    mkdir -p "$work/x" && bsdtar -xf "$work/arc/SETUP.LZH" -C "$work/x"
    diff -r "$work/disk" "$work/x" >/dev/null && pass "installed program packs" || fail "archive differs from the folder"
else
    fail "installed sorvane2-pack.exe"
fi

# Uninstall keeps the settings...
"$run" reg add "$settings" /v Font_Size /d 12 /f >/dev/null
"$run" reg add "$legacy\\Sorvane2" /v Version /d 1.00 /f >/dev/null
"$run" "C:\\Program Files\\Sorvane2\\uninstall.exe" /S || fail "uninstall /S"
settle
[ ! -e "$installed" ] && pass "program folder removed" || { fail "left after uninstall:"; find "$installed" | head; }
[ ! -e "$menu" ] && pass "Start menu entry removed" || fail "Start menu entry left"
has_key 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Sorvane2' \
    && fail "uninstall entry left" || pass "uninstall entry removed"
has_key "$settings" && pass "settings kept" || fail "settings removed without being asked"

# ...unless asked.
install_silently
"$run" "C:\\Program Files\\Sorvane2\\uninstall.exe" /S /REMOVESETTINGS || fail "uninstall /S /REMOVESETTINGS"
settle
has_key "$settings" && fail "settings left after /REMOVESETTINGS" || pass "settings removed when asked"
has_key "$legacy" && fail "old version's settings left" || pass "old version's settings removed when asked"
[ ! -e "$installed" ] && pass "program folder removed again" || fail "left after second uninstall"
echo "installer: $failures check(s) failed"
exit $((failures > 0))
