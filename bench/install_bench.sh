#!/usr/bin/env bash
# The whole-run benchmark of installing. Builds signed packages with vlpkg (half the files
# random, half compressible text): 8 and 64 MiB in 400 files, 512 MiB in 3200 files, and one
# file of 128 MiB; then, with build/bench/install_bench, in alternated pairs into fresh roots:
#   1. on a tmpfs and on an ext4 file system of their own (an image file on a loop device), the
#      64 MiB package installed from standard input, by the upgrade mode, and unpacked by
#      tar xzf, each against the yardstick (build/bench/yardstick: a minimal single-pass
#      installer with the same durability); on ext4 also the installer against itself without
#      syncing (build/bench/installer_nosync): what durability costs;
#   2. the peak and private memory of the installer and the yardstick for every package;
#   3. the system calls of one installation against the yardstick's (strace -c -f), per file;
#   4. vlpkg build against tar czf of the same tree at the same level, time and peak memory.
# Needs root (the installer changes its root; loop devices). Usage:
#   bench/install_bench.sh [BUILD_DIR]      PAIRS=N (default 9) sets the pairs of each series
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
pairs=${PAIRS:-9}
key=keys/development/ed25519-private.pem
work=$(mktemp -d /var/tmp/install-bench-data-XXXXXX)
trap 'umount "$work/ext4" "$work/tmpfs" 2>/dev/null || :; rm -rf "$work"' EXIT

# make_tree DIR MIB FILES: FILES files of MIB MiB in all, one directory for every ten.
make_tree() {
  local tree=$1 mib=$2 files=$3
  local size=$((mib * 1024 * 1024 / files))
  for ((i = 0; i < files; i++)); do
    local dir=$tree/lib/dir$((i % (files / 10 > 0 ? files / 10 : 1)))
    mkdir -p "$dir"
    if ((i % 2 == 0)); then
      head -c "$size" /dev/urandom > "$dir/file$i"
    else
      # yes ends by SIGPIPE once head has enough.
      { yes "line of file $i: the quick brown fox $((i * 7919 % 1000))" || :; } |
        head -c "$size" > "$dir/file$i"
    fi
  done
}

make_package() {
  local name=$1 tree=$2
  "$build/vlpkg" build --name "$name" --version 1.0 --build-time 0 --key "$key" \
    -o "$work/$name.vlp" "$tree"
}

for shape in 8:400 64:400 512:3200 128:1; do
  mib=${shape%:*} files=${shape#*:}
  name=bench$mib
  [ "$files" = 1 ] && name=single$mib
  make_tree "$work/$name-tree" "$mib" "$files"
  make_package "$name" "$work/$name-tree"
  [ "$name" = bench64 ] || rm -rf "$work/$name-tree"
done
tar czf "$work/bench64.tgz" -C "$work/bench64-tree" .
ls -l "$work"/*.vlp "$work"/*.tgz

bench() {
  "$build/bench/install_bench" --installer="$build/installer" --yardstick="$build/bench/yardstick" \
    --nosync-installer="$build/bench/installer_nosync" --tarball="$work/bench64.tgz" \
    --pairs="$pairs" "$@"
}

mkdir "$work/tmpfs" "$work/ext4"
mount -t tmpfs -o size=2G tmpfs "$work/tmpfs"
# The ext4 roots get a file system of their own, so that syncing it flushes nothing of others.
truncate -s 2G "$work/ext4.img"
mkfs.ext4 -q -F "$work/ext4.img"
mount -o loop "$work/ext4.img" "$work/ext4"

for fs in tmpfs ext4; do
  echo "== 64 MiB package, roots on $fs"
  for kind in stdin upgrade tar; do
    bench --roots="$work/$fs" --package="$work/bench64.vlp" --compare=yardstick,$kind
  done
  [ $fs = ext4 ] && bench --roots="$work/$fs" --package="$work/bench64.vlp" --compare=nosync,stdin
done

echo "== memory (KiB), roots on tmpfs"
for package in bench8 bench64 bench512 single128; do
  echo "-- $package"
  bench --roots="$work/tmpfs" --package="$work/$package.vlp" --compare=yardstick,stdin \
    --pairs=1 --memory | grep KiB
done

echo "== system calls, 64 MiB package (400 files), roots on ext4"
# count_calls COMMAND...: the calls of the command, whose last argument is the root.
count_calls() {
  local root=$work/ext4/strace-root
  mkdir -p "$root"/{flash/var/pdb,ram,rw,tmp}
  strace -f -c -o "$work/strace.txt" "$@" < "$work/bench64.vlp" > /dev/null
  rm -rf "$root"
  cat "$work/strace.txt" >&2
  awk '$NF == "total" { print $4 }' "$work/strace.txt"
}
root=$work/ext4/strace-root
installer_calls=$(count_calls "$build/installer" -r "$root" - 2> "$work/installer-calls.txt")
yardstick_calls=$(count_calls "$build/bench/yardstick" "$root" 2> /dev/null)
head -n 16 "$work/installer-calls.txt"
echo "installer $installer_calls calls, yardstick $yardstick_calls:" \
  "$(((installer_calls - yardstick_calls) / 400)) more per file"

echo "== vlpkg build against tar czf (level 6), 64 MiB tree, $pairs alternated pairs"
# One line per run: the kind, its seconds and its peak resident KiB.
for ((i = 0; i < pairs; i++)); do
  for turn in 0 1; do
    if (((turn + i) % 2 == 0)); then
      /usr/bin/time -f 'vlpkg %e %M' -a -o "$work/times.txt" "$build/vlpkg" build --name bench \
        --version 1.0 --build-time 0 -o "$work/again.vlp" "$work/bench64-tree"
    else
      /usr/bin/time -f 'tar %e %M' -a -o "$work/times.txt" \
        tar -I 'gzip -6' -cf "$work/again.tgz" -C "$work/bench64-tree" .
    fi
  done
done
for kind in vlpkg tar; do
  grep "^$kind " "$work/times.txt" | sort -k2 -n |
    awk -v n="$pairs" 'NR == int((n + 1) / 2) { print $1 ": median " $2 " s" }
                       { if ($3 > peak) peak = $3 } END { print "   peak " peak " KiB" }'
done
