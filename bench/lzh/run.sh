#!/usr/bin/env bash
# Packs the benchmark corpora with our -lh5- and -lh7- and, in the same run,
# with jlha (the packaged LZH creator) and Info-ZIP zip -9; prints bytes,
# seconds, MB/s and peak memory with ratios, then the targets, then store.sh
# (files stored, or stored only at first).
#
#   bash bench/lzh/run.sh            (from the project folder; RUNS=N repeats)
#
# Times are medians of RUNS runs, warm cache. Only ratios within one run mean
# anything: the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$(pwd)
source bench/common.sh
# Our archives of the volume corpus before the price-based parse (same corpus).
BEFORE_LH5=${BEFORE_LH5:-40093942}
BEFORE_LH7=${BEFORE_LH7:-39067364}

# jlha-utils offers itself as `lha`, the name the tests and other tools expect
# to be lhasa: the choice is pinned to lhasa before jlha comes in, so it never
# takes the name, and pinned again on the way out.
pin_lha() {
  if [ -x /usr/bin/lhasa ] && update-alternatives --list lha >/dev/null 2>&1; then
    update-alternatives --set lha /usr/bin/lhasa >/dev/null
  fi
}
pin_lha
trap pin_lha EXIT
install_missing lhasa
pin_lha
install_missing jlha-utils zip time
pin_lha

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target UNLHA32 archiver_cli >/dev/null
BIN=$TOP/build-release/bin

mkdir -p "$WORK/out"
make_corpora

ours() { # ours METHOD CORPUS OUTFOLDER NAME
  SORVANE2_DRIVES="a=$2;d=$3" "$BIN/archiver_cli" "$BIN/UNLHA32.DLL" Unlha \
    "u -+ -jm$1 -xra \"D:\\$4\" \"*.*\""
}
export -f ours
export BIN WORK

for corpus in floppy volume disks; do
  dir=$WORK/corpus/$corpus
  bytes_in=$(bytes "$dir")
  results=$WORK/results-$corpus.txt
  o=$WORK/out
  if [ "$corpus" = disks ]; then
    {
      run ours-lh5 "$dir" "$o/d5/" bash -c "each_disk 'ours 2 \"\$PWD\" $o/d5 \$DISK.LZH'"
      run ours-lh7 "$dir" "$o/d7/" bash -c "each_disk 'ours 4 \"\$PWD\" $o/d7 \$DISK.LZH'"
      run jlha-lh5 "$dir" "$o/dj5/" bash -c "each_disk 'jlha ao5yq $o/dj5/\$DISK.lzh *'"
      run jlha-lh7 "$dir" "$o/dj7/" bash -c "each_disk 'jlha ao7yq $o/dj7/\$DISK.lzh *'"
      run zip-9 "$dir" "$o/dz9/" bash -c "each_disk 'zip -r -9 -q $o/dz9/\$DISK.zip .'"
    } > "$results"
  else
    {
      run ours-lh5 "$dir" "$o/O5.LZH" bash -c "ours 2 '$dir' '$o' O5.LZH"
      run ours-lh7 "$dir" "$o/O7.LZH" bash -c "ours 4 '$dir' '$o' O7.LZH"
      run jlha-lh5 "$dir" "$o/j5.lzh" bash -c "jlha ao5yq '$o/j5.lzh' *"
      run jlha-lh7 "$dir" "$o/j7.lzh" bash -c "jlha ao7yq '$o/j7.lzh' *"
      run zip-9 "$dir" "$o/z9.zip" zip -r -9 -q "$o/z9.zip" .
    } > "$results"
  fi
  echo
  if [ "$corpus" = disks ]; then
    echo "== disks: $DISKS floppies (seed $SEED), one archive each, $bytes_in bytes in, timed as a whole"
  else
    echo "== $corpus: $bytes_in bytes in"
  fi
  table "$results" "$bytes_in" jlha-lh5 zip-9
done

echo
echo "== targets"
awk -v b5="$BEFORE_LH5" -v b7="$BEFORE_LH7" '
  { size[$1]=$2; sec[$1]=$3; kb[$1]=$4 }
  END {
    g5 = 1 - size["ours-lh5"] / b5; g7 = 1 - size["ours-lh7"] / b7
    fast = sec["jlha-lh5"] / sec["ours-lh5"]
    m = kb["ours-lh5"]; if (kb["ours-lh7"] > m) m = kb["ours-lh7"]
    printf "volume -lh5- 1.5%% smaller than before (%d): %d, %.2f%%  %s\n", b5, size["ours-lh5"], 100 * g5, (g5 >= 0.015 ? "met" : "NOT met")
    printf "volume -lh7- 1.5%% smaller than before (%d): %d, %.2f%%  %s\n", b7, size["ours-lh7"], 100 * g7, (g7 >= 0.015 ? "met" : "NOT met")
    printf "volume -lh5- no larger than jlha -lh5-: %d vs %d  %s\n", size["ours-lh5"], size["jlha-lh5"], (size["ours-lh5"] <= size["jlha-lh5"] ? "met" : "NOT met")
    printf "volume -lh5- at 2x jlha -lh5- speed or more: %.2fx  %s\n", fast, (fast >= 2 ? "met" : "NOT met")
    printf "volume -lh7- smaller than zip -9: %d vs %d  %s\n", size["ours-lh7"], size["zip-9"], (size["ours-lh7"] < size["zip-9"] ? "met" : "NOT met")
    printf "peak memory under 64 MB: %.1f MiB  %s\n", m / 1024, ((m < 65536) ? "met" : "NOT met")
  }' "$WORK/results-volume.txt"
awk '{ size[$1]=$2; sec[$1]=$3 } END {
    fast = sec["jlha-lh5"] / sec["ours-lh5"]
    printf "disks -lh5- at 2x jlha -lh5- speed or more: %.2fx  %s\n", fast, (fast >= 2 ? "met" : "NOT met")
    printf "disks -lh5- no larger than jlha -lh5-: %d vs %d  %s\n", size["ours-lh5"], size["jlha-lh5"], (size["ours-lh5"] <= size["jlha-lh5"] ? "met" : "NOT met")
  }' "$WORK/results-disks.txt"

echo
bash bench/lzh/store.sh
