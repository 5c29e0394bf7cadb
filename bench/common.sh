# Shared by bench/lzh/run.sh and bench/zip/run.sh (sourced from the project folder):
# the corpora, the timing helper and the table.
WORK=${WORK:-$TOP/build-bench}
RUNS=${RUNS:-3}
SEED=${SEED:-1}
DISKS=${DISKS:-20}

# Packages the benchmark needs besides the build's own.
install_missing() {
  local need=() p
  for p in "$@"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need+=("$p"); done
  [ ${#need[@]} -eq 0 ] && return 0
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
}

# The corpora: floppy and volume from the shared script, and the disks: DISKS
# copies of the floppy, each changed by its own seed (lines swapped and
# rewritten in text, bytes changed in binaries, one file dropped, one added),
# the way a box of floppies differs from disk to disk.
make_corpora() {
  if [ ! -d "$WORK/corpus/volume" ]; then
    bash ../shared/bench/make_corpus.sh "$WORK/corpus" >/dev/null 2>&1
  fi
  local stamp="$WORK/corpus/disks/.seed"
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$SEED $DISKS" ]; then
    rm -rf "$WORK/corpus/disks"
    python3 - "$WORK/corpus/floppy" "$WORK/corpus/disks" "$SEED" "$DISKS" <<'PY'
import os, random, shutil, sys
src, dst, seed, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
files = sorted(os.path.relpath(os.path.join(d, f), src) for d, _, fs in os.walk(src) for f in fs)
for disk in range(1, count + 1):
    rnd = random.Random(seed * 1000 + disk)
    root = os.path.join(dst, 'DISK%02d' % disk)
    os.makedirs(root)
    for d, dirs, _ in os.walk(src):
        for name in dirs:
            os.makedirs(os.path.join(root, os.path.relpath(os.path.join(d, name), src)), exist_ok=True)
    dropped = rnd.choice(files)
    for rel in files:
        if rel == dropped:
            continue
        data = open(os.path.join(src, rel), 'rb').read()
        if data and b'\0' not in data[:4096]:
            lines = data.split(b'\n')
            for _ in range(max(1, len(lines) // 50)):
                i, j = rnd.randrange(len(lines)), rnd.randrange(len(lines))
                lines[i], lines[j] = lines[j], lines[i]
                k = rnd.randrange(len(lines))
                lines[k] = lines[k][::-1] if rnd.random() < 0.5 else b'%s %d' % (lines[k], rnd.randrange(10**6))
            data = b'\n'.join(lines)
        elif data:
            data = bytearray(data)
            for _ in range(max(1, len(data) // 4096)):
                data[rnd.randrange(len(data))] = rnd.randrange(256)
            data = bytes(data)
        open(os.path.join(root, rel), 'wb').write(data)
    words = open(os.path.join(src, 'README.TXT'), 'rb').read().split()
    extra = b' '.join(rnd.choice(words) for _ in range(rnd.randrange(2000, 20000)))
    open(os.path.join(root, 'NOTE%02d.TXT' % disk), 'wb').write(extra)
PY
    TZ=UTC find "$WORK/corpus/disks" -exec touch -h -d '2024-01-02 03:04:06' {} +
    echo "$SEED $DISKS" > "$stamp"
  fi
}

# bytes PATH: the size of a file, or of all files under a folder.
bytes() { find "$1" -type f ! -name '.seed' -printf '%s\n' | awk '{s += $1} END {print s + 0}'; }

# run NAME DIR OUT COMMAND...: NAME, bytes of OUT, median seconds and peak KB of RUNS runs.
# OUT may be a folder (the disks: one archive per disk), made afresh for every run.
run() {
  local name=$1 dir=$2 out=$3; shift 3
  local times=() peak=0
  for _ in $(seq "$RUNS"); do
    rm -rf "$out"
    case $out in */) mkdir -p "$out" ;; esac
    local line
    line=$(cd "$dir" && /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1)
    times+=("${line% *}")
    local kb=${line#* }
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
  echo "$name $(bytes "$out") $median $peak"
}

# each_disk COMMAND...: runs COMMAND in every disk folder with $DISK set to its name.
each_disk() {
  local d
  for d in "$WORK"/corpus/disks/DISK*; do
    (cd "$d" && DISK=$(basename "$d") && export DISK && eval "$@") || return 1
  done
}
export -f each_disk

# table RESULTS BYTES_IN REF...: the results with ratios to the reference tools
# (size and speed against each REF).
table() {
  local results=$1 in_bytes=$2; shift 2
  awk -v in_bytes="$in_bytes" -v refs="$*" '
    BEGIN { nref = split(refs, ref, " ") }
    { name[NR]=$1; size[NR]=$2; sec[NR]=$3; kb[NR]=$4; s[$1]=$2; t[$1]=$3 }
    END {
      printf "%-9s %12s %8s %8s %9s", "tool", "bytes", "s", "MB/s", "peak MiB"
      for (r = 1; r <= nref; r++) printf " %12s %15s", "vs " ref[r], "speed/" ref[r]
      printf "\n"
      for (i = 1; i <= NR; i++) {
        printf "%-9s %12d %8.2f %8.1f %9.1f", name[i], size[i], sec[i],
          in_bytes / 1e6 / (sec[i] > 0 ? sec[i] : 0.001), kb[i] / 1024
        for (r = 1; r <= nref; r++)
          printf " %12.4f %15.2f", size[i] / s[ref[r]], t[ref[r]] / (sec[i] > 0 ? sec[i] : 0.001)
        printf "\n"
      }
    }' "$results"
}
