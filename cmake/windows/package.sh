#!/usr/bin/env bash
# Makes the Windows package of a built tree: installs it into BUILD/stage/Sorvane2,
# zips that folder into OUT/sorvane2-VERSION-win64.zip and builds the installer
# OUT/sorvane2-VERSION-setup.exe with NSIS.
#
#   package.sh BUILD OUT VERSION
set -euo pipefail
build=$(realpath "$1")
out=$(realpath -m "$2")
version=$3
stage=$build/stage/Sorvane2
rm -rf "$build/stage"
cmake --install "$build" --prefix "$stage" >/dev/null
# No debugging symbols in what users get (the C++ runtime alone has 20 MB).
find "$stage" \( -iname '*.dll' -o -iname '*.exe' \) -exec x86_64-w64-mingw32-strip --strip-unneeded {} +
mkdir -p "$out"

# The uninstaller removes exactly the files it installed, deepest first.
{
    (cd "$stage" && find . -type f | sort) | while read -r f; do
        f=${f#./}; printf 'Delete "$INSTDIR\\%s"\n' "${f//\//\\}"
    done
    (cd "$stage" && find . -mindepth 1 -type d | sort -r) | while read -r d; do
        d=${d#./}; printf 'RMDir "$INSTDIR\\%s"\n' "${d//\//\\}"
    done
} > "$build/uninstall_files.nsh"

zip=$out/sorvane2-$version-win64.zip
rm -f "$zip"
(cd "$build/stage" && zip -qr -X "$zip" Sorvane2)
setup=$out/sorvane2-$version-setup.exe
makensis -V2 -DSTAGE="$stage" -DOUTFILE="$setup" "$build/installer.nsi"
echo "Windows package: $zip"
echo "Windows installer: $setup"
