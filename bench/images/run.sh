#!/usr/bin/env bash
# A pile of disk images packed with --jobs 1 and with the default (one image
# per CPU at once): seconds, peak memory, the archives compared byte for byte,
# and the target.
#
#   bash bench/images/run.sh         (from the project folder; RUNS=N repeats,
#                                     IMAGES=N images, 200 by default)
#
# The images: 1.44 MB FAT12 floppies made by mformat and mcopy from the
# "disks" corpus (bench/common.sh), the DISKS folders in turn, each image with
# a NOTE.TXT of its own number. Times are medians of RUNS runs, warm cache;
# only the ratio means anything on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$(pwd)
source bench/common.sh
IMAGES=${IMAGES:-200}

install_missing mtools time python3

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target sorvane2-pack UNLHA32 ZIP32J UNZIP32 IZIP32J >/dev/null
BIN=$TOP/build-release/bin

make_corpora

# The images, made once for this corpus and count.
PILE=$WORK/images/pile
stamp=$WORK/images/.made
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$SEED $DISKS $IMAGES" ]; then
  rm -rf "$WORK/images"
  mkdir -p "$PILE" "$WORK/images/base"
  export LANG=C.UTF-8 LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
  # One floppy per disk folder: its files while they fit (the largest left
  # out first), times kept.
  for d in "$WORK"/corpus/disks/DISK*; do
    disk=$(basename "$d")
    base=$WORK/images/base/$disk.IMG
    mformat -C -i "$base" -f 1440 -v "$disk" ::
    (cd "$d" && find . -mindepth 1 -type d | sort | while read -r sub; do
       mmd -i "$base" "::${sub#./}"
     done)
    python3 - "$d" <<'PY' > "$WORK/images/files.txt"
import os, sys
root = sys.argv[1]
files = sorted((os.path.getsize(os.path.join(d, f)), os.path.relpath(os.path.join(d, f), root))
               for d, _, fs in os.walk(root) for f in fs)
room = (2847 - 64) * 512   # the clusters of a 1.44 MB floppy, less room for folders and NOTE.TXT
kept, used = [], 0
for size, rel in files:   # smallest first: the largest are the ones left out
    need = -(-size // 512) * 512
    if used + need <= room:
        kept.append(rel)
        used += need
print('\n'.join(sorted(kept)))
PY
    (cd "$d" && while IFS= read -r rel; do
       mcopy -m -i "$base" "$rel" "::$rel"
     done < "$WORK/images/files.txt")
  done
  bases=("$WORK"/images/base/DISK*.IMG)
  for i in $(seq 1 "$IMAGES"); do
    name=$(printf 'IMG%03d.IMG' "$i")
    cp "${bases[$(( (i - 1) % ${#bases[@]} ))]}" "$PILE/$name"
    printf 'image %d of the pile\n' "$i" > "$WORK/images/NOTE.TXT"
    touch -d '2024-01-02 03:04:06' "$WORK/images/NOTE.TXT"
    mcopy -m -i "$PILE/$name" "$WORK/images/NOTE.TXT" ::NOTE.TXT
  done
  echo "$SEED $DISKS $IMAGES" > "$stamp"
fi

# pack OUT [--jobs N]: the whole pile into OUT, settings of this run only.
pack() {
  local out=$1; shift
  mkdir -p "$WORK/images/config" "$WORK/images/tmp"
  SORVANE2_DRIVES="c=$out;d=$WORK/images/tmp" SORVANE2_SYSTEM_DIR="$BIN" \
    SORVANE2_CONFIG_DIR="$WORK/images/config" \
    "$BIN/sorvane2-pack" --images "$PILE" --name DISK001 --folder 'C:\' --tmp 'D:\' --format lzh "$@"
}
export -f pack
export BIN WORK PILE

# timed NAME OUT [--jobs N]: NAME, median seconds, peak KB and the CPU seconds
# (user + system, the packs included) of RUNS runs into OUT, made afresh each time.
timed() {
  local name=$1 out=$2; shift 2
  local lines=()
  for _ in $(seq "$RUNS"); do
    rm -rf "$out" && mkdir -p "$out"
    local pin=()
    [ -n "${ONE_CORE:-}" ] && pin=(taskset -c 0)
    lines+=("$(/usr/bin/time -f '%e %M %U %S' "${pin[@]}" bash -c 'pack "$@" >/dev/null' _ "$out" "$@" 2>&1 | tail -1)")
  done
  printf '%s\n' "${lines[@]}" | sort -n | awk -v name="$name" -v n="$RUNS" '
    { e[NR] = $1; if ($2 > kb) kb = $2; cpu[NR] = $3 + $4 }
    END { m = int((n + 1) / 2); print name, e[m], kb, cpu[m] }'
}

jobs=$(nproc)
results=$WORK/images/results.txt
{
  timed jobs-1 "$WORK/images/out1" --jobs 1
  timed default "$WORK/images/outn"
  ONE_CORE=1 timed one-core "$WORK/images/out0" --jobs 1
} > "$results"

same=yes
count=$(find "$WORK/images/out1" -name '*.LZH' | wc -l)
[ "$count" -eq "$IMAGES" ] || same="no: $count archives of $IMAGES images"
for a in "$WORK"/images/out1/*.LZH; do
  cmp -s "$a" "$WORK/images/outn/$(basename "$a")" || { same="no: $(basename "$a") differs"; break; }
  cmp -s "$a" "$WORK/images/out0/$(basename "$a")" || { same="no: $(basename "$a") differs on one core"; break; }
done
[ "$(ls "$WORK/images/out1" | sort)" = "$(ls "$WORK/images/outn" | sort)" ] || same="no: other files"

echo
echo "== $IMAGES 1.44 MB floppies (from $DISKS disk folders, seed $SEED), $(bytes "$PILE") bytes of images, default --jobs $jobs"
awk -v jobs="$jobs" '
  { sec[$1] = $2; kb[$1] = $3; cpu[$1] = $4 }
  END {
    printf "%-9s %8s %8s %16s %22s\n", "run", "s", "CPU s", "peak MiB (one)", "peak MiB (all, bound)"
    printf "%-9s %8.2f %8.2f %16.1f %22.1f\n", "jobs-1", sec["jobs-1"], cpu["jobs-1"], kb["jobs-1"] / 1024, 2 * kb["jobs-1"] / 1024
    printf "%-9s %8.2f %8.2f %16.1f %22.1f\n", "default", sec["default"], cpu["default"], kb["default"] / 1024, (jobs + 1) * kb["default"] / 1024
    printf "%-9s %8.2f %8.2f %16.1f %22.1f   (--jobs 1 under taskset -c 0)\n", "one-core", sec["one-core"], cpu["one-core"], kb["one-core"] / 1024, 2 * kb["one-core"] / 1024
    # Already within one image the LZH writer compresses files one per core:
    # the CPU the --jobs 1 run kept busy, and the best the default can reach.
    printf "cores busy: --jobs 1 %.2f, default %.2f; all %d busy would make the default %.2fx faster than --jobs 1\n",
      cpu["jobs-1"] / sec["jobs-1"], cpu["default"] / sec["default"], jobs, sec["jobs-1"] / (cpu["default"] / jobs)
  }' "$results"
echo "(peak: the largest single process, /usr/bin/time %M; all: at most the batch and its packs at once, that many times it)"
echo "archives byte-identical between --jobs 1 and the default: $same"
echo
echo "== target"
awk -v images="$IMAGES" '{ sec[$1] = $2 } END {
    x = sec["jobs-1"] / (sec["default"] > 0 ? sec["default"] : 0.001)
    printf "%d images: default jobs at least 1.8 times faster than --jobs 1: %.2fx  %s\n", images, x, (x >= 1.8 ? "met" : "NOT met")
    y = sec["one-core"] / (sec["default"] > 0 ? sec["default"] : 0.001)
    printf "%d images: every core at least 1.8 times faster than one (--jobs 1, taskset -c 0): %.2fx  %s\n", images, y, (y >= 1.8 ? "met" : "NOT met")
  }' "$results"
[ "$same" = yes ]
