#!/bin/bash
# Runs the Windows module test under wine, then reads back what it wrote:
#   tests/windows/run_modules_test.sh path/to/modules_test.exe [gtest options]
# The four modules (UNLHA32.DLL, ZIP32J.DLL, UNZIP32.DLL, IZIP32J.DLL) must lie
# beside the test. LANG=ja_JP.UTF-8 makes code page 932 the ANSI code page.
# WINEPREFIX defaults to a prefix of its own below /tmp.
set -euo pipefail
exe=$(readlink -f "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
wine=${WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=${WINEPREFIX:-/tmp/sorvane2-modules-wine}
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=${TEST_LANG:-ja_JP.UTF-8}
out=$(mktemp -d /tmp/sorvane2-modules-out.XXXXXX)
trap 'rm -rf "$out"' EXIT

# wine sees / as drive z:.
export SORVANE2_WINDOWS_OUT="Z:${out//\//\\}"
"$wine" "$exe" "$@"
"$here/check_archives.sh" "$out"
