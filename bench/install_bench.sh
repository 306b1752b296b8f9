#!/usr/bin/env bash
# The whole-run benchmark of the standard-input mode. Builds signed packages of about 400
# files (half random, half compressible text) with vlpkg, then:
#   1. runs build/bench/install_bench on the 64 MiB package, into roots on an ext4 file system
#      of their own (an image file on a loop device): the installer binary against a reference
#      loop (SHA-256 + inflate + writing the same files + sync) in the same run, and the
#      installer against the same installer with syncing turned off (build/bench/
#      installer_nosync), alternately; prints the throughput ratio and the durability cost;
#   2. installs the 8 MiB and the 512 MiB package under /usr/bin/time -v and prints each peak
#      resident size, which must differ by less than 2 MiB: memory does not grow with the
#      package.
# Needs root (the installer changes its root). Usage: bench/install_bench.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
key=keys/development/ed25519-private.pem
work=$(mktemp -d /var/tmp/install-bench-data-XXXXXX)
trap 'umount "$work/roots" 2>/dev/null || :; rm -rf "$work"' EXIT
files=400

# make_package NAME MIB: a signed package of MIB MiB in $files files, one in ten below a
# directory of its own.
make_package() {
  local name=$1 mib=$2 tree=$work/$1-tree
  local size=$((mib * 1024 * 1024 / files))
  for ((i = 0; i < files; i++)); do
    local dir=$tree/lib/dir$((i % 40))
    mkdir -p "$dir"
    if ((i % 2 == 0)); then
      head -c "$size" /dev/urandom > "$dir/file$i"
    else
      # yes ends by SIGPIPE once head has enough.
      { yes "line of file $i: the quick brown fox $((i * 7919 % 1000))" || :; } |
        head -c "$size" > "$dir/file$i"
    fi
  done
  "$build/vlpkg" build --name "$name" --version 1.0 --build-time 0 -o "$work/$name.vlp" "$tree"
  "$build/vlpkg" sign --key "$key" "$work/$name.vlp" "$work/$name.vlp"
  rm -rf "$tree"
}

peak_kib() {
  local package=$1 root=$work/root
  rm -rf "$root"
  mkdir -p "$root"/{flash/var/pdb,ram,rw,tmp}
  /usr/bin/time -v "$build/installer" -r "$root" - < "$package" > /dev/null 2> "$work/time.log"
  grep 'Maximum resident set size' "$work/time.log" | awk '{print $NF}'
  rm -rf "$root"
}

for mib in 8 64 512; do make_package "bench$mib" "$mib"; done
ls -l "$work"/*.vlp

# The roots get a file system of their own, so that syncing it flushes nothing of other programs.
truncate -s 1G "$work/roots.img"
mkfs.ext4 -q -F "$work/roots.img"
mkdir "$work/roots"
mount -o loop "$work/roots.img" "$work/roots"
"$build/bench/install_bench" --package="$work/bench64.vlp" --installer="$build/installer" \
  --nosync-installer="$build/bench/installer_nosync" --roots="$work/roots" \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

small=$(peak_kib "$work/bench8.vlp")
large=$(peak_kib "$work/bench512.vlp")
echo "peak resident size: 8 MiB package ${small} KiB, 512 MiB package ${large} KiB," \
     "difference $((large - small)) KiB"
