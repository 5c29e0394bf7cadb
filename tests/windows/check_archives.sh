#!/bin/bash
# Reads back, with independent readers, the archives that the Windows module
# test (tests/windows/modules_test.cpp) wrote into SORVANE2_WINDOWS_OUT:
#   tests/windows/check_archives.sh OUT
# OUT holds the archives, source/ (the packed tree) and manifest.txt (lines of
# archive, entry name in UTF-8 with "/" between folders, size). Every archive
# is listed and extracted by bsdtar (names taken as CP932), LZH archives are
# tested and extracted by lhasa, ZIP archives tested by unzip, extracted by
# unzip and read by python3's zipfile; every file must come back byte for
# byte under its name, and nothing else may be in the archive.
set -euo pipefail
out=$(readlink -f "${1:?usage: check_archives.sh OUT}")
manifest=$out/manifest.txt
[ -f "$manifest" ] || { echo "$manifest: no manifest (was SORVANE2_WINDOWS_OUT set for the test?)" >&2; exit 1; }
export LC_ALL=C.UTF-8
work=$(mktemp -d /tmp/sorvane2-check.XXXXXX)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# compare ARCHIVE DIR [lhasa]: every manifest entry of ARCHIVE is in DIR with
# the bytes of source/, and DIR holds no other file. lhasa writes names as
# the archive's bytes (CP932) and an all-capital MS-DOS name in lower case.
compare() {
    python3 - "$out" "$1" "$2" "${3:-}" <<'PY' || return 1
import os, sys
out, archive, folder, reader = sys.argv[1:5]
expected = {}
for line in open(os.path.join(out, "manifest.txt"), encoding="utf-8"):
    name, entry, size = line.rstrip("\n").split("\t")
    if name == archive:
        expected[entry] = int(size)
def on_disk(entry):
    if reader != "lhasa":
        return entry.encode("utf-8")
    parts = []
    for part in entry.split("/"):
        if part.isascii() and part.upper() == part:
            part = part.lower()
        parts.append(part.encode("cp932"))
    return b"/".join(parts)
bad = 0
wanted = set()
for entry, size in expected.items():
    path = os.path.join(os.fsencode(folder), on_disk(entry))
    wanted.add(os.path.normpath(path))
    source = open(os.path.join(out, "source", entry), "rb").read()
    if len(source) != size:
        print(f"{archive}: {entry}: the source has {len(source)} bytes, the manifest says {size}"); bad += 1
    if not os.path.isfile(path):
        print(f"{archive}: {entry}: not extracted"); bad += 1
    elif open(path, "rb").read() != source:
        print(f"{archive}: {entry}: extracted bytes differ"); bad += 1
for root, dirs, files in os.walk(os.fsencode(folder)):
    for f in files:
        path = os.path.normpath(os.path.join(root, f))
        if path not in wanted:
            print(f"{archive}: {os.fsdecode(path)}: extracted but not in the manifest"); bad += 1
sys.exit(1 if bad else 0)
PY
}

mapfile -t archives < <(cut -f1 "$manifest" | sort -u)
for archive in "${archives[@]}"; do
    path=$out/$archive
    echo "== $archive"
    [ -f "$path" ] || { fail "$archive: missing"; continue; }

    # bsdtar: the names, then the files.
    listed=$(bsdtar -tf "$path" --options hdrcharset=CP932 | grep -v '/$' | sort) || fail "$archive: bsdtar cannot list it"
    wanted=$(awk -F'\t' -v a="$archive" '$1 == a { print $2 }' "$manifest" | sort)
    [ "$listed" = "$wanted" ] || fail "$archive: bsdtar lists"$'\n'"$listed"$'\n'"instead of"$'\n'"$wanted"
    mkdir -p "$work/bsdtar/$archive"
    if bsdtar -xf "$path" --options hdrcharset=CP932 -C "$work/bsdtar/$archive"; then
        compare "$archive" "$work/bsdtar/$archive" || fail "$archive: bsdtar's extraction"
    else
        fail "$archive: bsdtar cannot extract it"
    fi

    case "$archive" in
    *.LZH | *.lzh)
        lhasa t "$path" > /dev/null || fail "$archive: lhasa's test"
        mkdir -p "$work/lhasa/$archive"
        if (cd "$work/lhasa/$archive" && lhasa xq "$path" > /dev/null); then
            compare "$archive" "$work/lhasa/$archive" lhasa || fail "$archive: lhasa's extraction"
        else
            fail "$archive: lhasa cannot extract it"
        fi
        ;;
    *.ZIP | *.zip)
        unzip -tqq "$path" || fail "$archive: unzip's test"
        mkdir -p "$work/unzip/$archive"
        if unzip -qq "$path" -d "$work/unzip/$archive"; then
            compare "$archive" "$work/unzip/$archive" || fail "$archive: unzip's extraction"
        else
            fail "$archive: unzip cannot extract it"
        fi
        # zipfile: the CRCs, and each name (CP932 unless flagged UTF-8) with its bytes.
        python3 - "$out" "$archive" <<'PY' || fail "$archive: python3 zipfile"
import os, sys, zipfile
out, archive = sys.argv[1:3]
expected = {}
for line in open(os.path.join(out, "manifest.txt"), encoding="utf-8"):
    name, entry, size = line.rstrip("\n").split("\t")
    if name == archive:
        expected[entry] = int(size)
with zipfile.ZipFile(os.path.join(out, archive)) as z:
    broken = z.testzip()
    if broken:
        sys.exit(f"{archive}: {broken}: CRC error")
    found = {}
    for info in z.infolist():
        name = info.filename if info.flag_bits & 0x800 else info.filename.encode("cp437").decode("cp932")
        if not name.endswith("/"):
            found[name] = z.read(info)
if set(found) != set(expected):
    sys.exit(f"{archive}: zipfile names {sorted(found)} instead of {sorted(expected)}")
for entry in expected:
    if found[entry] != open(os.path.join(out, "source", entry), "rb").read():
        sys.exit(f"{archive}: {entry}: bytes differ")
PY
        ;;
    esac
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all ${#archives[@]} archives read back"
