#!/usr/bin/env bash
# sorvane2.exe as a user meets it, under wine on a virtual display: the
# program opens on a folder mapped as drive p: (label GUIDISK) and the storage
# folder Q:\ given in the registry, 通常圧縮 is clicked, the archive it makes is
# read by lhasa and bsdtar, the program is closed from its menu, its settings
# are in wine's registry, and a second start comes back where the first left.
# Waits are for events (a window, a file, a process end), each with a bound.
#
#   gui_smoke.sh WINDOWS_BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../cmake/windows/wine-run.sh
export SORVANE2_WINDOWS_BUILD=$build
export SORVANE2_WINEPREFIX=$build/wine-gui
prefix=$SORVANE2_WINEPREFIX
exe=$build/stage/Sorvane2/sorvane2.exe
[ -f "$exe" ] || exe=$build/bin/sorvane2.exe
work=$(mktemp -d "${TMPDIR:-/tmp}/sorvane2-wine-gui.XXXXXX")
xvfb=
cleanup() {
    [ -n "${program:-}" ] && kill "$program" 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    rm -f "$prefix/dosdevices/p:" "$prefix/dosdevices/q:"
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
key='HKCU\Software\VB and VBA Program Settings\Brelmoor\Sorvane2'

# until SECONDS COMMAND...: runs COMMAND until it succeeds, at most SECONDS.
until_true() {
    local limit=$1; shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.5
    done
}

# A display of our own.
exec 5> "$work/display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
until_true 60 test -s "$work/display" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -1 "$work/display")

# The disk and the storage folder as drives p: and q:, and a clean start in the registry.
disk=$work/disk
mkdir -p "$disk/資料" "$work/arc"
printf 'ＧＵＩの確認\r\n' > "$disk/資料/説明.TXT"
head -c 200000 /dev/urandom > "$disk/DATA.BIN"
printf 'GUIDISK\n' > "$disk/.windows-label"
tree_hash() { (cd "$1" && find . -type f ! -name .windows-label -print0 | sort -z | xargs -0 sha256sum); }
before=$(tree_hash "$disk")
"$run" reg delete "$key" /f >/dev/null 2>&1 || true
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
ln -sfn "$disk" "$prefix/dosdevices/p:"
ln -sfn "$work/arc" "$prefix/dosdevices/q:"
for pair in 'Dir_In=p:' 'Dir_Out=Q:\' 'Main_Left=60' 'Main_Top=345' 'Main_Width=9000' 'Main_Height=7500'; do
    "$run" reg add "$key" /v "${pair%%=*}" /d "${pair#*=}" /f >/dev/null \
        || { echo "reg add ${pair%%=*} failed"; exit 1; }
done

# The staged package runs with nothing on its path but what it brings.
bare=0
[ "$exe" = "$build/stage/Sorvane2/sorvane2.exe" ] && bare=1
start_program() {
    SORVANE2_WINE_BARE=$bare "$run" "$exe" >"$work/program.log" 2>&1 &
    program=$!
    # Searched again until found: a search fails outright when one of wine's
    # short-lived windows goes while it walks the tree (BadWindow).
    until_true 180 found_window
}
found_window() {
    local ids
    ids=$(xdotool search --onlyvisible --name '^Sorvane2 for Win32$' 2>/dev/null) || return 1
    window=${ids%%$'\n'*}
    [ -n "$window" ]
}
# E(x)it by its mnemonic; sent again while the program lives, since a frame
# still locked by the end of a run does not take it.
exited() {
    kill -0 "$program" 2>/dev/null || return 0
    xdotool windowfocus "$window" key alt+x 2>/dev/null || true
    for _ in 1 2 3 4; do kill -0 "$program" 2>/dev/null || return 0; sleep 0.5; done
    return 1
}
close_program() {
    until_true 120 exited || return 1
    wait "$program" || true
    program=
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
}
setting() { "$run" reg query "$key" /v "$1" 2>/dev/null | awk -v k="$1" '$1 == k { print $3 }' | tr -d '\r'; }

# First run: 通常圧縮 is the first button of the strip below the menu bar.
start_program || { fail "the window did not open"; cat "$work/program.log"; exit 1; }
pass "window opened"
# A click that reaches the window before it takes input is lost: clicked
# again while no archive is there (a click on a frame busy packing is not
# taken, so this starts one run).
pressed() {
    test -f "$work/arc/GUIDISK.LZH" && return 0
    xdotool windowfocus "$window" mousemove --window "$window" 53 42 click 1 2>/dev/null || true
    for _ in $(seq 1 20); do test -f "$work/arc/GUIDISK.LZH" && return 0; sleep 0.5; done
    return 1
}
if until_true 300 pressed; then
    pass "通常圧縮 made GUIDISK.LZH"
    lhasa -t "$work/arc/GUIDISK.LZH" >/dev/null && pass "lhasa reads it" || fail "lhasa test"
    mkdir -p "$work/x"
    bsdtar -xf "$work/arc/GUIDISK.LZH" -C "$work/x" && [ "$(tree_hash "$work/x")" = "$before" ] \
        && pass "bsdtar extracts the disk's files" || fail "extracted files differ from the disk"
else
    fail "no archive after clicking 通常圧縮"
fi
close_program || fail "the program did not close from its menu"
[ "$(setting Dir_In)" = "p:" ] && pass "Dir_In in the registry" || fail "Dir_In: $(setting Dir_In)"
[ "$(setting Main_WindowState)" = "0" ] && pass "window state written" || fail "Main_WindowState missing"
grep -q '"Font_Name"="\\xff2d\\xff33 \\x660e\\x671d"' "$prefix/user.reg" \
    && pass "Font_Name stored as ＭＳ 明朝" || fail "Font_Name not stored as text"
first=$("$run" reg query "$key" 2>/dev/null | sort)

# Second run: the window comes back where the registry says, and closing it
# again changes nothing.
left=$(setting Main_Left) top=$(setting Main_Top)
start_program || fail "the window did not open again"
geometry=$(xdotool getwindowgeometry --shell "$window")
x=$(echo "$geometry" | sed -n 's/^X=//p') y=$(echo "$geometry" | sed -n 's/^Y=//p')
[ "$x" = "$((left / 15))" ] && [ "$y" = "$((top / 15))" ] && pass "window restored at $x,$y" \
    || fail "window at $x,$y, registry says $((left / 15)),$((top / 15))"
close_program || fail "the program did not close the second time"
second=$("$run" reg query "$key" 2>/dev/null | sort)
[ "$first" = "$second" ] && pass "settings survive a restart" || { fail "settings changed"; diff <(echo "$first") <(echo "$second"); }
[ "$(tree_hash "$disk")" = "$before" ] && pass "source unchanged" || fail "source changed"
echo "gui_smoke: $failures check(s) failed"
exit $((failures > 0))
