#!/usr/bin/env bash
# Runs a Windows program of the build under wine as on a Japanese Windows
# (code page 932), with the Qt and mingw runtime DLLs on its path. The wine
# prefix is the build's own (SORVANE2_WINEPREFIX overrides it), made on the
# first run; ctest runs the Windows tests through this script.
#
#   wine-run.sh PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${SORVANE2_WINDOWS_BUILD:=$(pwd)}"
deps=${SORVANE2_WINDOWS_DEPS:-$SORVANE2_WINDOWS_BUILD/deps}
export WINEPREFIX=${SORVANE2_WINEPREFIX:-${WINEPREFIX:-$SORVANE2_WINDOWS_BUILD/wine}}
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko prompts while a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# SORVANE2_WINE_BARE=1 runs a program of the package as a user's machine
# would: nothing on its path but what the package brings.
if [ "${SORVANE2_WINE_BARE:-0}" != 1 ]; then
    runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
    winpath() { printf 'Z:%s' "${1//\//\\}"; }
    export WINEPATH="$(winpath "$deps/qt/bin");$(winpath "$runtime");$(winpath /usr/x86_64-w64-mingw32/lib)"
    export QT_PLUGIN_PATH="$(winpath "$deps/qt/plugins")"
else
    unset WINEPATH QT_PLUGIN_PATH
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w
fi
exec /usr/lib/wine/wine64 "$@"
