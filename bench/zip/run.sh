#!/usr/bin/env bash
# Packs the benchmark corpora with our ZIP writer (-9 and -0) and, in the same
# run, with Info-ZIP zip, 7-Zip, bsdtar and cp -r; prints bytes, seconds, MB/s
# and peak memory with ratios, then the targets.
#
#   bash bench/zip/run.sh            (from the project folder; RUNS=N repeats)
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$(pwd)
source bench/common.sh

install_missing zip 7zip libarchive-tools time advancecomp

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target ZIP32J IZIP32J archiver_cli >/dev/null
BIN=$TOP/build-release/bin
mkdir -p "$WORK/out"
make_corpora

ours() { # ours LEVEL CORPUS OUTFOLDER NAME
  SORVANE2_DRIVES="a=$2;d=$3" "$BIN/archiver_cli" "$BIN/ZIP32J.DLL" Zip " -r -S  -$1 \"D:\\$4\" \"*.*\""
}
export -f ours
export BIN WORK

for corpus in floppy volume disks; do
  dir=$WORK/corpus/$corpus
  bytes_in=$(bytes "$dir")
  results=$WORK/zip-results-$corpus.txt
  o=$WORK/out
  if [ "$corpus" = disks ]; then
    {
      run ours-9 "$dir" "$o/zo9/" bash -c "each_disk 'ours 9 \"\$PWD\" $o/zo9 \$DISK.ZIP'"
      run ours-0 "$dir" "$o/zo0/" bash -c "each_disk 'ours 0 \"\$PWD\" $o/zo0 \$DISK.ZIP'"
      run zip-9 "$dir" "$o/z9/" bash -c "each_disk 'zip -r -9 -q $o/z9/\$DISK.zip .'"
      run zip-0 "$dir" "$o/z0/" bash -c "each_disk 'zip -r -0 -q $o/z0/\$DISK.zip .'"
      run 7zz-mx9 "$dir" "$o/z7/" bash -c "each_disk '7zz a -tzip -mx=9 -bd -bso0 $o/z7/\$DISK.zip .'"
      run bsdtar-9 "$dir" "$o/zb/" bash -c \
        "each_disk 'bsdtar --format zip --options zip:compression-level=9 -cf $o/zb/\$DISK.zip .'"
      run cp-r "$dir" "$o/zc/" bash -c "each_disk 'cp -r . $o/zc/\$DISK'"
    } > "$results"
  else
    {
      run ours-9 "$dir" "$o/O9.ZIP" bash -c "ours 9 '$dir' '$o' O9.ZIP"
      run ours-0 "$dir" "$o/O0.ZIP" bash -c "ours 0 '$dir' '$o' O0.ZIP"
      run zip-9 "$dir" "$o/z9.zip" zip -r -9 -q "$o/z9.zip" .
      run zip-0 "$dir" "$o/z0.zip" zip -r -0 -q "$o/z0.zip" .
      run 7zz-mx9 "$dir" "$o/7.zip" 7zz a -tzip -mx=9 -bd -bso0 "$o/7.zip" .
      run bsdtar-9 "$dir" "$o/b.zip" bsdtar --format zip --options zip:compression-level=9 -cf "$o/b.zip" .
      run cp-r "$dir" "$o/copy" cp -r . "$o/copy"
    } > "$results"
  fi
  echo
  if [ "$corpus" = disks ]; then
    echo "== disks: $DISKS floppies (seed $SEED), one archive each, $bytes_in bytes in, timed as a whole"
  else
    echo "== $corpus: $bytes_in bytes in"
  fi
  table "$results" "$bytes_in" zip-9 7zz-mx9
done

echo
echo "== targets"
for corpus in floppy volume disks; do
  awk -v corpus="$corpus" '
    { size[$1]=$2; sec[$1]=$3; kb[$1]=$4 }
    END {
      small = (size["ours-9"] <= size["7zz-mx9"]); fast = (sec["ours-9"] <= sec["zip-9"])
      printf "%s -9 no larger than 7-Zip -mx=9: %d vs %d  %s\n", corpus, size["ours-9"], size["7zz-mx9"], (small ? "met" : "NOT met")
      printf "%s -9 no slower than zip -9: %.2f s vs %.2f s  %s\n", corpus, sec["ours-9"], sec["zip-9"], (fast ? "met" : "NOT met")
      if (corpus == "volume") {
        copy = sec["ours-0"] / sec["cp-r"]
        m = kb["ours-9"]; if (kb["ours-0"] > m) m = kb["ours-0"]
        printf "%s -9 no larger than zip -9: %d vs %d  %s\n", corpus, size["ours-9"], size["zip-9"], (size["ours-9"] <= size["zip-9"] ? "met" : "NOT met")
        printf "%s -0 within 1.5 times cp -r: %.2fx  %s\n", corpus, copy, ((copy <= 1.5) ? "met" : "NOT met")
        printf "%s peak memory under 64 MB: %.1f MiB  %s\n", corpus, m / 1024, ((m < 65536) ? "met" : "NOT met")
      }
    }' "$WORK/zip-results-$corpus.txt"
done

# Size against zopfli: our -9 archives of the floppy and of the disks,
# recompressed by advzip -z -4; seconds are ours to make the archive and
# advzip's to recompress it.
echo
echo "== ZIP -9 against advzip -z -4 (zopfli)"
adv=$WORK/out/adv
for corpus in ${ADV_CORPORA:-floppy disks}; do
  rm -rf "$adv" && mkdir -p "$adv/ours"
  dir=$WORK/corpus/$corpus
  if [ "$corpus" = disks ]; then
    ours_s=$( { /usr/bin/time -f '%e' bash -c "cd '$dir' && each_disk 'ours 9 \"\$PWD\" $adv/ours \$DISK.ZIP'" >/dev/null; } 2>&1 | tail -1)
  else
    ours_s=$( { /usr/bin/time -f '%e' bash -c "cd '$dir' && ours 9 '$dir' '$adv/ours' O9.ZIP" >/dev/null; } 2>&1 | tail -1)
  fi
  ours_b=$(bytes "$adv/ours")
  cp -r "$adv/ours" "$adv/zopfli"
  adv_s=$( { /usr/bin/time -f '%e' bash -c "advzip -z -4 -q '$adv'/zopfli/*.ZIP" >/dev/null; } 2>&1 | tail -1)
  adv_b=$(bytes "$adv/zopfli")
  awk -v c="$corpus" -v ob="$ours_b" -v os="$ours_s" -v ab="$adv_b" -v as="$adv_s" 'BEGIN {
    printf "%s: ours -9 %d bytes in %.2f s, advzip -z -4 %d bytes in %.2f s: ours %+.2f %% in size, %.0f times faster\n",
      c, ob, os, ab, as, 100 * (ob / ab - 1), as / (os > 0 ? os : 0.01) }'
done
rm -rf "$adv"
