#!/usr/bin/env bash
# Prepares the 32-bit big-endian PowerPC build (the router's processor) on Debian 12 amd64:
# Debian's powerpc-linux-gnu cross compiler and qemu-user from the package archive, and zlib,
# OpenSSL's libcrypto and GoogleTest cross-built as static libraries into a sysroot of our own.
# The host's own libraries are never touched (no multiarch: it would upgrade them).
#
#   powerpc-deps.sh            make sure everything is there; builds only what is missing
#   powerpc-deps.sh --check    exit 0 when the sysroot is complete and current, 1 otherwise
#   powerpc-deps.sh --sysroot  print the sysroot's path
#
# A stamp in the sysroot records which recipe built it (a hash of the build steps and the
# toolchain file), so a repeated run with the same recipe only checks and takes a second; a
# changed recipe rebuilds. Installing packages needs root; the cross builds do not.
# XB chooses the work area (default /var/cache/installer-cross for root, ~/.cache otherwise).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
TOOLCHAIN=$(cd "$HERE/../../cmake" && pwd)/toolchain-powerpc.cmake
if [ "$(id -u)" -eq 0 ]; then default_xb=/var/cache/installer-cross
else default_xb=${XDG_CACHE_HOME:-$HOME/.cache}/installer-cross; fi
XB=${XB:-$default_xb}
SYSROOT=$XB/ppc-sysroot     # libraries and headers go to $SYSROOT/usr
STAMP=$SYSROOT/.recipe
T=powerpc-linux-gnu
# libcrypto and GoogleTest share the project's 64-bit off_t and time_t, so no structure or
# argument that holds one changes size between our code and theirs.
TARGET_FLAGS="-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
HOST_PACKAGES=(g++-powerpc-linux-gnu qemu-user cmake make perl bzip2 libgtest-dev
               ca-certificates debian-archive-keyring)
# What the configuration links against; a sysroot missing one of them is rebuilt.
SYSROOT_FILES=(usr/lib/libz.a usr/lib/libcrypto.a usr/lib/libgtest.a usr/lib/libgtest_main.a
               usr/lib/libgmock.a usr/include/zlib.h usr/include/openssl/evp.h
               usr/include/gtest/gtest.h usr/lib/cmake/GTest/GTestConfig.cmake)

# The recipe is what builds the sysroot: the build steps (declare -f drops their comments) and
# the toolchain's settings, so an edited comment does not cost a rebuild.
recipe() {
  { echo "$TARGET_FLAGS"
    declare -f fetch_sources build_zlib build_openssl build_gtest
    grep -v '^[[:space:]]*#' "$TOOLCHAIN"; } | sha256sum | cut -d' ' -f1
}

missing_packages() {
  local p
  for p in "${HOST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

sysroot_current() {
  [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$(recipe)" ] || return 1
  local f
  for f in "${SYSROOT_FILES[@]}"; do [ -e "$SYSROOT/$f" ] || return 1; done
}

TIMES=$XB/times-powerpc.txt
phase() {
  local name=$1 start end
  shift
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v n="$name" -v s="$start" -v e="$end" 'BEGIN { printf "%s %.1f s\n", n, e - s }' | tee -a "$TIMES"
}

apt_install() {
  local missing
  missing=$(missing_packages)
  [ -n "$missing" ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "powerpc-deps: missing packages (run as root to install): $missing" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # Another apt run on the machine (a parallel setup) is waited for, not failed on.
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 $missing >/dev/null
}

# The Debian archive this machine already uses for its binary packages.
debian_mirror() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }' \
          /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }' \
          /etc/apt/sources.list)
  fi
  echo "$uri"
}

fetch_sources() {
  local uri suite list=/etc/apt/sources.list.d/installer-cross-debsrc.sources
  uri=$(debian_mirror)
  [ -n "$uri" ] || { echo "powerpc-deps: no Debian archive found in apt's sources" >&2; exit 1; }
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  rm -rf "$XB/src-ppc"
  mkdir -p "$XB/src-ppc"
  cd "$XB/src-ppc"
  if [ "$(id -u)" -eq 0 ]; then
    # Source packages are not in apt's lists by default: add them for this download only and
    # take them out again, also when the download fails.
    cat > "$list" <<SRC
Types: deb-src
URIs: $uri
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    trap 'rm -f '"$list"'; apt-get update -qq || true' EXIT
    apt-get update -qq
  fi
  # "/suite" picks the release's own version (the security suite's sources are not mirrored).
  if ! apt-get source --download-only "openssl/$suite" "zlib/$suite" > fetch.log 2>&1; then
    cat fetch.log >&2
    echo "powerpc-deps: could not download the zlib and OpenSSL sources" >&2
    exit 1
  fi
  grep -E '^Selected' fetch.log || true
  if [ "$(id -u)" -eq 0 ]; then
    rm -f "$list"
    trap - EXIT
    apt-get update -qq
  fi
  mkdir zlib-src openssl-src
  tar xjf zlib_*.orig.tar.bz2 -C zlib-src --strip-components=1
  tar xzf openssl_*.orig.tar.gz -C openssl-src --strip-components=1
}

build_zlib() {
  cd "$XB/src-ppc/zlib-src"
  # zlib chooses its own offset sizes (its gz* files undo _FILE_OFFSET_BITS, and then refuse
  # _TIME_BITS); inflate, all we use, takes neither an off_t nor a time_t.
  CHOST=$T ./configure --static --prefix="$SYSROOT/usr" >/dev/null
  make -j"$(nproc)" libz.a >/dev/null
  make install >/dev/null
}

build_openssl() {
  cd "$XB/src-ppc/openssl-src"
  # Only libcrypto, static, with nothing loaded at run time (no engines, modules or config).
  ./Configure linux-ppc --cross-compile-prefix=$T- --prefix="$SYSROOT/usr" --libdir=lib \
     --openssldir=/usr/lib/ssl no-shared no-tests no-dso no-engine no-module no-legacy \
     no-ui-console no-autoload-config $TARGET_FLAGS >/dev/null
  if ! make -j"$(nproc)" build_libs > build.log 2>&1; then
    tail -n 40 build.log >&2
    exit 1
  fi
  make install_dev >/dev/null
}

build_gtest() {
  local dir=$XB/build-gtest-ppc
  rm -rf "$dir"
  XB_SYSROOT=$SYSROOT cmake -S /usr/src/googletest -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
     -DXB_SYSROOT="$SYSROOT" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$SYSROOT/usr" \
     -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_C_FLAGS="$TARGET_FLAGS" -DCMAKE_CXX_FLAGS="$TARGET_FLAGS" \
     >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
  cmake --install "$dir" >/dev/null
}

case "${1:-}" in
  --sysroot) echo "$SYSROOT"; exit 0 ;;
  --check) [ -z "$(missing_packages)" ] && sysroot_current; exit ;;
  "") ;;
  *) echo "usage: $0 [--check | --sysroot]" >&2; exit 2 ;;
esac

mkdir -p "$XB"
# Two test runs at once (two work trees) must not build into the same sysroot together.
exec 9>"$XB/lock"
flock 9
phase apt_install apt_install
if sysroot_current; then
  echo "powerpc-deps: sysroot $SYSROOT is current"
  exit 0
fi
# Start clean: a sysroot left by an interrupted or older build must not mix with this one.
rm -rf "$SYSROOT"
mkdir -p "$SYSROOT/usr"
: > "$TIMES"
phase fetch_sources fetch_sources
phase build_zlib build_zlib
phase build_openssl build_openssl
phase build_gtest build_gtest
rm -rf "$XB/src-ppc" "$XB/build-gtest-ppc"
recipe > "$STAMP"
sysroot_current || { echo "powerpc-deps: the sysroot is incomplete after the build" >&2; exit 1; }
echo "powerpc-deps: sysroot $SYSROOT ready"
