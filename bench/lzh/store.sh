#!/usr/bin/env bash
# Files that are stored, or that only look so at their start: prints, in one
# run, a random file of RANDOM_MB MiB (1024) packed with our -lh5- against
# `cp` of it (and `cp` with a sync of the copy, as our writer syncs its
# archive), and 512 KiB of random bytes followed by 8 MiB of text packed with
# our -lh5- and -lh7- against zip -9.
#
#   bash bench/lzh/store.sh          (from the project folder; run.sh ends with it)
#
# Times are medians of RUNS runs (3), warm cache. Only ratios within one run
# mean anything: the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$(pwd)
source bench/common.sh
RANDOM_MB=${RANDOM_MB:-1024}
install_missing zip time

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target UNLHA32 archiver_cli >/dev/null
BIN=$TOP/build-release/bin

ours() { # ours METHOD FOLDER OUTFOLDER NAME
  SORVANE2_DRIVES="a=$2;d=$3" "$BIN/archiver_cli" "$BIN/UNLHA32.DLL" Unlha \
    "u -+ -jm$1 -x \"D:\\$4\" \"*.*\""
}
export -f ours
export BIN

dir=$WORK/store
mkdir -p "$dir/random" "$dir/mixed" "$dir/out"
if [ ! -f "$dir/random/RANDOM.BIN" ] || [ "$(stat -c %s "$dir/random/RANDOM.BIN")" -ne $((RANDOM_MB << 20)) ]; then
  head -c $((RANDOM_MB << 20)) /dev/urandom > "$dir/random/RANDOM.BIN"
fi
if [ ! -f "$dir/mixed/MIXED.DAT" ]; then
  python3 - "$dir/mixed/MIXED.DAT" <<'PY'
import os, random, sys
random.seed(5)
text = open('/usr/share/common-licenses/GPL-3', 'rb').read()
body = bytearray()
while len(body) < 8 << 20:
    body += text[random.randrange(len(text) - 4096):][:4096]
with open(sys.argv[1], 'wb') as f:
    f.write(os.urandom(512 << 10))
    f.write(body[:8 << 20])
PY
fi

o=$dir/out
results=$dir/results.txt
{
  run ours-lh5 "$dir/random" "$o/R5.LZH" bash -c "ours 2 '$dir/random' '$o' R5.LZH"
  run cp "$dir/random" "$o/copy.bin" cp RANDOM.BIN "$o/copy.bin"
  run cp+sync "$dir/random" "$o/copy.bin" bash -c "cp RANDOM.BIN '$o/copy.bin' && sync '$o/copy.bin'"
} > "$results"
rm -f "$o/R5.LZH" "$o/copy.bin"
echo "== one random file of $RANDOM_MB MiB"
awk '{ size[$1]=$2; sec[$1]=$3; printf "%-9s %12d bytes %8.2f s\n", $1, $2, $3 }
  END {
    printf "ours -lh5- / cp: %.2f   ours -lh5- / cp+sync: %.2f\n", sec["ours-lh5"] / sec["cp"], sec["ours-lh5"] / sec["cp+sync"]
  }' "$results"

RUNS=1
{
  run ours-lh5 "$dir/mixed" "$o/M5.LZH" bash -c "ours 2 '$dir/mixed' '$o' M5.LZH"
  run ours-lh7 "$dir/mixed" "$o/M7.LZH" bash -c "ours 4 '$dir/mixed' '$o' M7.LZH"
  run zip-9 "$dir/mixed" "$o/m9.zip" zip -9 -q "$o/m9.zip" MIXED.DAT
} > "$results"
rm -f "$o/M5.LZH" "$o/M7.LZH" "$o/m9.zip"
echo
echo "== 512 KiB of random bytes, then 8 MiB of text: $(bytes "$dir/mixed") bytes in"
awk '{ size[$1]=$2; printf "%-9s %12d bytes %8.2f s\n", $1, $2, $3 }
  END {
    printf "ours -lh5- / zip -9: %.3f   ours -lh7- / zip -9: %.3f\n", size["ours-lh5"] / size["zip-9"], size["ours-lh7"] / size["zip-9"]
  }' "$results"
