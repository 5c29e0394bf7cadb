#!/usr/bin/env bash
# One large file packed with our -lh5-, -lh7- and ZIP -9 on one core
# (taskset -c 0) and on every core, in the same run: seconds, bytes, peak
# memory, the speed-up and whether both archives are the same; then what
# coding it in segments costs in size against one stream on one core.
#
#   bash bench/big/run.sh          (from the project folder; BIGFILE_MB=N, 1024)
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$(pwd)
source bench/common.sh
BIGFILE_MB=${BIGFILE_MB:-1024}
SAMPLE_MB=${SAMPLE_MB:-256}
RUNS=1

install_missing time

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target UNLHA32 ZIP32J IZIP32J archiver_cli segment_cost >/dev/null
BIN=$TOP/build-release/bin
CPUS=$(nproc)

# Mostly text, every fourth MiB already compressed: a disk image or a
# database as people keep them on their sticks.
big=$WORK/big
mkdir -p "$big" "$WORK/out"
if [ ! -f "$big/BIG.DAT" ] || [ "$(stat -c %s "$big/BIG.DAT")" -ne $((BIGFILE_MB << 20)) ]; then
  python3 - "$big/BIG.DAT" "$BIGFILE_MB" <<'PY'
import random, sys
rnd = random.Random(7)
text = open('/usr/share/common-licenses/GPL-3', 'rb').read()
with open(sys.argv[1], 'wb') as f:
    for i in range(int(sys.argv[2])):
        chunk = bytearray()
        while len(chunk) < 1 << 20:
            chunk += text[rnd.randrange(len(text) - 4096):][:4096] if i % 4 != 3 else rnd.randbytes(4096)
        f.write(chunk[:1 << 20])
PY
fi

pack() { # pack METHOD NAME: lh5, lh7 or zip9 into $WORK/out/NAME
  case $1 in
    lh5) line="a -jm2 \"D:\\$2\" \"*.*\""; module=UNLHA32.DLL; fn=Unlha ;;
    lh7) line="a -jm4 \"D:\\$2\" \"*.*\""; module=UNLHA32.DLL; fn=Unlha ;;
    zip9) line=" -r -S  -9 \"D:\\$2\" \"*.*\""; module=ZIP32J.DLL; fn=Zip ;;
  esac
  SORVANE2_DRIVES="a=$big;d=$WORK/out" "$BIN/archiver_cli" "$BIN/$module" "$fn" "$line"
}
export -f pack
export BIN WORK big

results=$WORK/big-results.txt
: > "$results"
for m in lh5 lh7 zip9; do
  ext=LZH; [ $m = zip9 ] && ext=ZIP
  one=$(run "$m-1core" "$big" "$WORK/out/ONE.$ext" taskset -c 0 bash -c "pack $m ONE.$ext")
  all=$(run "$m-all" "$big" "$WORK/out/ALL.$ext" bash -c "pack $m ALL.$ext")
  same=no
  cmp -s "$WORK/out/ONE.$ext" "$WORK/out/ALL.$ext" && same=yes
  echo "$one $same" >> "$results"
  echo "$all $same" >> "$results"
  rm -f "$WORK/out/ONE.$ext" "$WORK/out/ALL.$ext"
done

# What segments cost: one stream on one core against segments, on a sample.
head -c $((SAMPLE_MB << 20)) "$big/BIG.DAT" > "$big/sample"
"$BIN/segment_cost" "$big/sample" > "$WORK/big-cost.txt"
rm -f "$big/sample"

echo
echo "== one file of $BIGFILE_MB MiB, $CPUS cores: one core (taskset -c 0) against all"
awk -v mb="$BIGFILE_MB" '{
    printf "%-10s %12d bytes %8.2f s %8.1f MB/s  peak %6.1f MiB  same archive: %s\n",
      $1, $2, $3, mb * 1.048576 / ($3 > 0 ? $3 : 0.001), $4 / 1024, $5 }' "$results"
echo
echo "== segments against one stream, first $SAMPLE_MB MiB"
awk '{ printf "%-5s one stream %12d  segments %12d  %+.4f %%\n", $1, $2, $3, 100 * ($3 / $2 - 1) }' "$WORK/big-cost.txt"

echo
echo "== targets"
awk -v cpus="$CPUS" '
  { name = $1; sub(/-.*/, "", name); kind = $1; sub(/^[^-]*-/, "", kind)
    size[name, kind] = $2; sec[name, kind] = $3; kb[name, kind] = $4; same[name] = $5; names[name] = 1 }
  END {
    split("lh5 lh7 zip9", order, " ")
    for (i = 1; i <= 3; i++) {
      m = order[i]
      up = sec[m, "1core"] / (sec[m, "all"] > 0 ? sec[m, "all"] : 0.001)
      grow = 100 * (size[m, "all"] / size[m, "1core"] - 1)
      printf "%s: all %d cores at least 1.8 times faster than one: %.2fx  %s\n", m, cpus, up, (up >= 1.8 ? "met" : "NOT met")
      printf "%s: no more than 0.2 %% larger than the one-core archive: %+.4f %% (same: %s)  %s\n", m, grow, same[m], (grow <= 0.2 ? "met" : "NOT met")
      per = kb[m, "all"] / 1024 / cpus
      printf "%s: peak memory under 64 MiB per core: %.1f MiB (%.1f MiB in all)  %s\n", m, per, kb[m, "all"] / 1024, (per < 64 ? "met" : "NOT met")
    }
  }' "$results"
