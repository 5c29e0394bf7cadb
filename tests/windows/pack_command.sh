#!/usr/bin/env bash
# sorvane2-pack.exe under wine as a Japanese Windows: a folder mapped as a
# drive is packed in every mode and format, a FAT floppy image made by mtools
# is packed by its label, and a run that fails leaves the archive it would
# replace as it was. lhasa, bsdtar, unzip, python3 and mtools read the results
# here on the Linux side; the source folder and image are hashed before and
# after.
#
#   pack_command.sh WINDOWS_BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../cmake/windows/wine-run.sh
export SORVANE2_WINDOWS_BUILD=$build
prefix=${SORVANE2_WINEPREFIX:-$build/wine}
work=$(mktemp -d "${TMPDIR:-/tmp}/sorvane2-wine-pack.XXXXXX")
# Drive letters of this test only (other tests map their own).
src_letter=m out_letter=n
cleanup() {
    rm -f "$prefix/dosdevices/$src_letter:" "$prefix/dosdevices/$out_letter:"
    chmod -R u+w "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# The source: Japanese names, an empty file, a nested folder, binary data.
disk=$work/disk
mkdir -p "$disk/データ/下位" "$disk/DOCS"
printf 'サンプルの説明\r\n' > "$disk/データ/説明.TXT"
head -c 2000000 /dev/urandom > "$disk/データ/下位/RANDOM.BIN"
seq 1 200000 > "$disk/DOCS/NUMBERS.TXT"
: > "$disk/EMPTY.DAT"
touch -d '2001-02-03 04:05:06' "$disk/DOCS/NUMBERS.TXT"
mkdir -p "$work/arc"
tree_hash() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
before=$(tree_hash "$disk")

mkdir -p "$prefix/dosdevices"
"$run" cmd /c exit 0 >/dev/null 2>&1 || true   # makes the prefix on a first run
# wine takes the drive letters when its server starts: let the running one end.
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
ln -sfn "$disk" "$prefix/dosdevices/$src_letter:"
ln -sfn "$work/arc" "$prefix/dosdevices/$out_letter:"

pack() { "$run" "$build/bin/sorvane2-pack.exe" "$@"; }

# Extracts ARCHIVE with TOOL into a fresh folder and compares it with the source.
same_tree() {
    local what=$1 dir=$2
    if [ "$(tree_hash "$dir")" = "$before" ]; then pass "$what"; else fail "$what: contents differ"; diff <(tree_hash "$dir") <(echo "$before") | head; fi
}
extract_check() {
    local archive=$1 name=$2
    local x=$work/x-$name
    rm -rf "$x"; mkdir -p "$x"
    case "$archive" in
    *.LZH)
        # lhasa checks every CRC (it writes names as their CP932 bytes, so
        # bsdtar, which converts them, gives the tree to compare).
        lhasa -t "$archive" >/dev/null || fail "$name: lhasa test"
        bsdtar -xf "$archive" -C "$x" --options hdrcharset=CP932 || fail "$name: bsdtar extract"
        same_tree "$name (bsdtar)" "$x" ;;
    *.ZIP)
        unzip -tq "$archive" >/dev/null || fail "$name: unzip test"
        python3 - "$archive" "$x" <<'PY' || fail "$name: python zipfile"
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for info in z.infolist():
        # Names without the UTF-8 flag are CP932, as the Japanese tools write them.
        if not info.flag_bits & 0x800:
            info.filename = info.orig_filename.encode("cp437").decode("cp932")
        z.extract(info, sys.argv[2])
PY
        same_tree "$name (python zipfile)" "$x"
        # zipfile does not set times on extraction: the date recorded counts.
        rm -rf "$x"; mkdir -p "$x"
        (cd "$x" && unzip -q "$archive" DOCS/NUMBERS.TXT) || fail "$name: unzip extract" ;;
    esac
    # Time stamps: the file dated 2001 keeps its date.
    local stamp
    stamp=$(TZ=UTC date -r "$x/DOCS/NUMBERS.TXT" +%Y-%m-%d 2>/dev/null || echo missing)
    [ "$stamp" = "$(TZ=UTC date -r "$disk/DOCS/NUMBERS.TXT" +%Y-%m-%d)" ] && pass "$name: time stamp" \
        || fail "$name: time stamp $stamp"
}

pack --drive "$src_letter:" --name 通常 --folder "${out_letter^^}:\\" --mode normal --format lzh \
    && extract_check "$work/arc/通常.LZH" normal-lzh || fail "normal lzh run"
pack --drive "$src_letter:" --name STORE --folder "${out_letter^^}:\\" --mode store --format zip \
    && extract_check "$work/arc/STORE.ZIP" store-zip || fail "store zip run"
pack --drive "$src_letter:" --name ZNORMAL --folder "${out_letter^^}:\\" --mode normal --format zip \
    && extract_check "$work/arc/ZNORMAL.ZIP" normal-zip || fail "normal zip run"
if pack --drive "$src_letter:" --name DOUBLE --folder "${out_letter^^}:\\" --mode double --pattern 0; then
    rm -rf "$work/inner"; mkdir -p "$work/inner"
    lhasa -t "$work/arc/DOUBLE.LZH.LZH" >/dev/null || fail "double: lhasa test of the outer archive"
    bsdtar -xf "$work/arc/DOUBLE.LZH.LZH" -C "$work/inner" || fail "double: outer archive"
    extract_check "$work/inner/DOUBLE.LZH" double-inner
else
    fail "double run"
fi

# In a console (wine makes one of a terminal, as a command prompt window is
# one), the Japanese lines show as they are: the program sets the console to
# UTF-8 while it runs, where a console of code page 932 would garble them.
console_out=$work/console.txt
command=$(printf '%q ' "$run" "$build/bin/sorvane2-pack.exe" --drive "$src_letter:" --name CONSOLE \
    --folder "${out_letter^^}:\\" --mode normal --format lzh)
if script -qec "$command" /dev/null > "$console_out" 2>&1 < /dev/null; then
    grep -q 'ＬＺＨ圧縮中です' "$console_out" && grep -q 'archive: N:\\CONSOLE.LZH' "$console_out" \
        && pass "console shows the Japanese lines" \
        || { fail "console: the lines are garbled"; head -c 400 "$console_out" | od -c | head -20; }
    lhasa -t "$work/arc/CONSOLE.LZH" >/dev/null && pass "console run's archive" || fail "console run's archive"
else
    fail "console run"; cat "$console_out"
fi

# A failed run keeps the archive it would have replaced: the target is read
# only (a read-only file under wine), so the update cannot be written.
target=$work/arc/通常.LZH
sum=$(sha256sum < "$target")
echo extra > "$disk/NEWFILE.TXT"
chmod a-w "$target"
if pack --drive "$src_letter:" --name 通常 --folder "${out_letter^^}:\\" --mode normal --format lzh; then
    fail "a read-only target was reported as packed"
fi
chmod u+w "$target"
rm -f "$disk/NEWFILE.TXT"
[ "$(sha256sum < "$target")" = "$sum" ] && pass "failed run kept the archive" || fail "failed run changed the archive"
leftovers=$(find "$work/arc" -maxdepth 1 -type f ! -name '*.LZH' ! -name '*.ZIP' | wc -l)
[ "$leftovers" -eq 0 ] && pass "no temporary file left" || fail "temporary files left: $(ls "$work/arc")"

# A FAT floppy image made by mtools, packed by its label; mcopy reads the same disk.
img=$work/FLOPPY.IMG
mformat -i "$img" -C -f 1440 -v SAMPLEDISK ::
mmd -i "$img" ::/SUB
head -c 300000 "$disk/データ/下位/RANDOM.BIN" > "$work/PART.BIN"
mcopy -i "$img" "$disk/データ/説明.TXT" ::/README.TXT
mcopy -i "$img" "$work/PART.BIN" ::/SUB/PART.BIN
img_sum=$(sha256sum < "$img")
if pack --images "Z:${img//\//\\}" --label --folder "${out_letter^^}:\\" --format lzh; then
    rm -rf "$work/m" "$work/l"; mkdir -p "$work/m" "$work/l"
    mcopy -s -n -m -i "$img" ::/ "$work/m/"
    lhasa -t "$work/arc/SAMPLEDISK.LZH" >/dev/null || fail "image: lhasa test"
    bsdtar -xf "$work/arc/SAMPLEDISK.LZH" -C "$work/l" || fail "image: bsdtar extract"
    [ "$(tree_hash "$work/m")" = "$(tree_hash "$work/l")" ] && pass "image: same files as mcopy" \
        || fail "image: files differ from mcopy"
else
    fail "image run"
fi
[ "$(sha256sum < "$img")" = "$img_sum" ] && pass "image unchanged" || fail "image changed"

[ "$(tree_hash "$disk")" = "$before" ] && pass "source unchanged" || fail "source changed"
echo "pack_command: $failures check(s) failed"
exit $((failures > 0))
