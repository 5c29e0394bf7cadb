#!/bin/bash
# Runs the Windows module test under wine, then reads back what it wrote:
#   tests/windows/run_modules_test.sh path/to/modules_test.exe [gtest options]
# The four modules (UNLHA32.DLL, ZIP32J.DLL, UNZIP32.DLL, IZIP32J.DLL) must lie
# beside the test. Under LANG=ja_JP.UTF-8 code page 932 is the ANSI code page.
# wine is $WINE when set (ctest gives the build's runner), else the build's
# runner (cmake/windows/wine-run.sh) when it is there, else wine itself with
# WINEPREFIX defaulting to a prefix of its own.
set -euo pipefail
exe=$(readlink -f "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d "${TMPDIR:-/tmp}/sorvane2-modules-out.XXXXXX")
trap 'rm -rf "$out"' EXIT

# wine sees / as drive z:.
export SORVANE2_WINDOWS_OUT="Z:${out//\//\\}"
runner=$here/../../cmake/windows/wine-run.sh
if [ -n "${WINE:-}" ]; then
    "$WINE" "$exe" "$@"
elif [ -f "$runner" ]; then
    bash "$runner" "$exe" "$@"
else
    export WINEPREFIX=${WINEPREFIX:-/tmp/sorvane2-modules-wine}
    export WINEDEBUG=${WINEDEBUG:--all}
    export LANG=${TEST_LANG:-ja_JP.UTF-8}
    "${WINE:-/usr/lib/wine/wine64}" "$exe" "$@"
fi
"$here/check_archives.sh" "$out"
