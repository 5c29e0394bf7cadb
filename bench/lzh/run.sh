#!/usr/bin/env bash
# Packs the benchmark corpora with our -lh5- and -lh7- and, in the same run,
# with jlha (the packaged LZH creator) and Info-ZIP zip -9; prints bytes,
# seconds, MB/s and peak memory with ratios, then the targets.
#
#   bash bench/lzh/run.sh            (from the project folder; RUNS=N repeats)
#
# Times are medians of RUNS runs, warm cache. Only ratios within one run mean
# anything: the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$(pwd)
WORK=${WORK:-$TOP/build-bench}
RUNS=${RUNS:-3}
BIGFILE_MB=${BIGFILE_MB:-1024}

need=()
for p in jlha-utils zip time; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; fi

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target UNLHA32 archiver_cli >/dev/null
BIN=$TOP/build-release/bin

mkdir -p "$WORK/out"
if [ ! -d "$WORK/corpus/volume" ]; then
  bash ../shared/bench/make_corpus.sh "$WORK/corpus" >/dev/null 2>&1
fi

# run NAME CORPUS_DIR OUTFILE COMMAND...: median seconds and peak KB of RUNS runs
run() {
  local name=$1 dir=$2 out=$3; shift 3
  local times=() peak=0
  for _ in $(seq "$RUNS"); do
    rm -f "$out"
    local line
    line=$(cd "$dir" && /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1)
    times+=("${line% *}")
    local kb=${line#* }
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  echo "$name $(stat -c %s "$out") $median $peak"
}

ours() { # ours METHOD CORPUS OUT
  SORVANE2_DRIVES="a=$2;d=$WORK/out" "$BIN/archiver_cli" "$BIN/UNLHA32.DLL" Unlha \
    "u -+ -jm$1 -xra \"D:\\$3\" \"*.*\""
}
export -f ours 2>/dev/null || true
export BIN WORK

for corpus in floppy volume; do
  dir=$WORK/corpus/$corpus
  bytes_in=$(du -sb --apparent-size "$dir" | cut -f1)
  results=$WORK/results-$corpus.txt
  {
    run ours-lh5 "$dir" "$WORK/out/O5.LZH" bash -c "ours 2 '$dir' O5.LZH"
    run ours-lh7 "$dir" "$WORK/out/O7.LZH" bash -c "ours 4 '$dir' O7.LZH"
    run jlha-lh5 "$dir" "$WORK/out/j5.lzh" bash -c "jlha ao5yq '$WORK/out/j5.lzh' *"
    run jlha-lh7 "$dir" "$WORK/out/j7.lzh" bash -c "jlha ao7yq '$WORK/out/j7.lzh' *"
    run zip-9 "$dir" "$WORK/out/z9.zip" zip -r -9 -q "$WORK/out/z9.zip" .
  } > "$results"
  echo
  echo "== $corpus: $bytes_in bytes in"
  awk -v in_bytes="$bytes_in" '
    { name[NR]=$1; size[NR]=$2; sec[NR]=$3; kb[NR]=$4; if ($1=="jlha-lh5") { j5s=$2; j5t=$3 } if ($1=="zip-9") zs=$2 }
    END {
      printf "%-9s %12s %8s %8s %9s %10s %10s %10s\n", "tool", "bytes", "s", "MB/s", "peak MiB", "vs jlha5", "vs zip-9", "speed/j5"
      for (i = 1; i <= NR; i++)
        printf "%-9s %12d %8.2f %8.1f %9.1f %10.4f %10.4f %10.2f\n", name[i], size[i], sec[i],
          in_bytes / 1e6 / (sec[i] > 0 ? sec[i] : 0.001), kb[i] / 1024, size[i] / j5s, size[i] / zs,
          j5t / (sec[i] > 0 ? sec[i] : 0.001)
    }' "$results"
done

# One large file: memory must not grow with the file.
big=$WORK/big
mkdir -p "$big"
if [ ! -f "$big/BIG.DAT" ] || [ "$(stat -c %s "$big/BIG.DAT")" -ne $((BIGFILE_MB << 20)) ]; then
  python3 - "$big/BIG.DAT" "$BIGFILE_MB" <<'PY'
import os, random, sys
random.seed(7)
text = open('/usr/share/common-licenses/GPL-3', 'rb').read()
with open(sys.argv[1], 'wb') as f:
    for i in range(int(sys.argv[2])):
        chunk = bytearray()
        while len(chunk) < 1 << 20:
            # mostly text, every fourth MiB already compressed
            chunk += text[random.randrange(len(text) - 4096):][:4096] if i % 4 != 3 else os.urandom(4096)
        f.write(chunk[:1 << 20])
PY
fi
echo
echo "== one file of $BIGFILE_MB MiB"
RUNS=1
BIGKB=0
for m in 2 4; do
  r=$(run "ours-jm$m" "$big" "$WORK/out/BIG$m.LZH" bash -c "ours $m '$big' BIG$m.LZH")
  echo "$r" | awk '{printf "%-9s %12d bytes %8.2f s  peak %.1f MiB\n", $1, $2, $3, $4 / 1024}'
  kb=$(echo "$r" | awk '{print $4}')
  [ "$kb" -gt "$BIGKB" ] && BIGKB=$kb
  rm -f "$WORK/out/BIG$m.LZH"
done

echo
echo "== targets (volume)"
awk '
  { size[$1]=$2; sec[$1]=$3; kb[$1]=$4 }
  END {
    ok5 = (size["ours-lh5"] <= size["jlha-lh5"]); fast = sec["jlha-lh5"] / sec["ours-lh5"]
    ok7 = (size["ours-lh7"] < size["zip-9"])
    m = kb["ours-lh5"]; if (kb["ours-lh7"] > m) m = kb["ours-lh7"]; if (bigkb > m) m = bigkb
    printf "-lh5- no larger than jlha -lh5-: %d vs %d  %s\n", size["ours-lh5"], size["jlha-lh5"], (ok5 ? "met" : "NOT met")
    printf "-lh5- at 3x jlha speed or more: %.2fx  %s\n", fast, ((fast >= 3) ? "met" : "NOT met")
    printf "-lh7- smaller than zip -9: %d vs %d  %s\n", size["ours-lh7"], size["zip-9"], (ok7 ? "met" : "NOT met")
    printf "peak memory under 64 MB (1 GiB file included): %.1f MiB  %s\n", m / 1024, ((m < 65536) ? "met" : "NOT met")
  }' bigkb="$BIGKB" "$WORK/results-volume.txt"
