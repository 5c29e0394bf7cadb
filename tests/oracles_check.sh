#!/usr/bin/env bash
# The independent readers the tests call must be the programs the Makefile
# installs, whatever else is on the machine, and no test may call a command
# name that another package can take over (jlha-utils makes `lha` the Java jlha).
set -u
src=${1:-$(dirname "$0")/..}
status=0
check() { # command package
    local path real owner
    path=$(command -v "$1") || { echo "oracle '$1' is missing: install package '$2'"; status=1; return; }
    real=$(readlink -f "$path")
    owner=$(dpkg -S "$real" 2>/dev/null | head -1 | cut -d: -f1)
    if [ "$owner" != "$2" ]; then
        echo "oracle '$1' is $real from '${owner:-no package}', not from '$2'"
        status=1
    fi
}
check lhasa lhasa
check 7zz 7zip
check bsdtar libarchive-tools
check unzip unzip
grep -q -E "^\s*lhasa libarchive-tools 7zip unzip" "$src/Makefile" ||
    { echo "the Makefile no longer installs the oracles the tests call"; status=1; }
hits=$(grep -rn -E "(\"|&& |; )(lha|7z|jlha) " "$src/tests" --include='*.cpp' --include='*.sh' --include='*.py')
[ -z "$hits" ] || { printf 'tests call a command name another package can take over:\n%s\n' "$hits"; status=1; }
[ $status -eq 0 ] && echo "oracles: lhasa, 7zz, bsdtar, unzip are the packaged programs"
exit $status
