#!/usr/bin/env bash
# Packs the benchmark corpora with our ZIP writer (-9 and -0) and, in the same
# run, with Info-ZIP zip, 7-Zip, bsdtar and cp -r; prints bytes, seconds, MB/s
# and peak memory with ratios, then the targets.
#
#   bash bench/zip/run.sh            (from the project folder; RUNS=N repeats)
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$(pwd)
WORK=${WORK:-$TOP/build-bench}
RUNS=${RUNS:-3}

need=()
for p in zip 7zip libarchive-tools time; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; fi

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target ZIP32J IZIP32J archiver_cli >/dev/null
BIN=$TOP/build-release/bin
mkdir -p "$WORK/out"
if [ ! -d "$WORK/corpus/volume" ]; then
  bash ../shared/bench/make_corpus.sh "$WORK/corpus" >/dev/null 2>&1
fi

# run NAME DIR OUT COMMAND...: median seconds and peak KB of RUNS runs
run() {
  local name=$1 dir=$2 out=$3; shift 3
  local times=() peak=0
  for _ in $(seq "$RUNS"); do
    rm -rf "$out"
    local line
    line=$(cd "$dir" && /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1)
    times+=("${line% *}")
    local kb=${line#* }
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  echo "$name $(du -sb --apparent-size "$out" | cut -f1) $median $peak"
}

ours() { # ours LEVEL CORPUS OUT
  SORVANE2_DRIVES="a=$2;d=$WORK/out" "$BIN/archiver_cli" "$BIN/ZIP32J.DLL" Zip " -r -S  -$1 \"D:\\$3\" \"*.*\""
}
export -f ours
export BIN WORK

for corpus in floppy volume; do
  dir=$WORK/corpus/$corpus
  bytes_in=$(du -sb --apparent-size "$dir" | cut -f1)
  results=$WORK/zip-results-$corpus.txt
  {
    run ours-9 "$dir" "$WORK/out/O9.ZIP" bash -c "ours 9 '$dir' O9.ZIP"
    run ours-0 "$dir" "$WORK/out/O0.ZIP" bash -c "ours 0 '$dir' O0.ZIP"
    run zip-9 "$dir" "$WORK/out/z9.zip" zip -r -9 -q "$WORK/out/z9.zip" .
    run zip-0 "$dir" "$WORK/out/z0.zip" zip -r -0 -q "$WORK/out/z0.zip" .
    run 7zz-mx9 "$dir" "$WORK/out/7.zip" 7zz a -tzip -mx=9 -bd -bso0 "$WORK/out/7.zip" .
    run bsdtar-9 "$dir" "$WORK/out/b.zip" bsdtar --format zip --options zip:compression-level=9 -cf "$WORK/out/b.zip" .
    run cp-r "$dir" "$WORK/out/copy" cp -r . "$WORK/out/copy"
  } > "$results"
  echo
  echo "== $corpus: $bytes_in bytes in"
  awk -v in_bytes="$bytes_in" '
    { name[NR]=$1; size[NR]=$2; sec[NR]=$3; kb[NR]=$4; if ($1=="zip-9") { zs=$2; zt=$3 } }
    END {
      printf "%-9s %12s %8s %8s %9s %10s %10s\n", "tool", "bytes", "s", "MB/s", "peak MiB", "vs zip-9", "speed/z9"
      for (i = 1; i <= NR; i++)
        printf "%-9s %12d %8.2f %8.1f %9.1f %10.4f %10.2f\n", name[i], size[i], sec[i],
          in_bytes / 1e6 / (sec[i] > 0 ? sec[i] : 0.001), kb[i] / 1024, size[i] / zs, zt / (sec[i] > 0 ? sec[i] : 0.001)
    }' "$results"
done

echo
echo "== targets (volume)"
awk '
  { size[$1]=$2; sec[$1]=$3; kb[$1]=$4 }
  END {
    ok = (size["ours-9"] <= size["zip-9"]); fast = (sec["ours-9"] <= sec["zip-9"])
    copy = sec["ours-0"] / sec["cp-r"]
    m = kb["ours-9"]; if (kb["ours-0"] > m) m = kb["ours-0"]
    printf "-9 no larger than zip -9: %d vs %d  %s\n", size["ours-9"], size["zip-9"], (ok ? "met" : "NOT met")
    printf "-9 no slower than zip -9: %.2f s vs %.2f s  %s\n", sec["ours-9"], sec["zip-9"], (fast ? "met" : "NOT met")
    printf "-0 within 1.5 times cp -r: %.2fx  %s\n", copy, ((copy <= 1.5) ? "met" : "NOT met")
    printf "peak memory under 64 MB: %.1f MiB  %s\n", m / 1024, ((m < 65536) ? "met" : "NOT met")
  }' "$WORK/zip-results-volume.txt"
