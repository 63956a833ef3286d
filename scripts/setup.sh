#!/usr/bin/env bash
# Installs everything the project needs from Debian's archive and builds the
# libraries Debian does not ship for the mingw target (minizip, Capstone) into
# a cache, once for each Windows target (32-bit and 64-bit). Idempotent: a
# second run finds everything in place and does nothing.
set -euo pipefail

DEPS_PREFIX32=${TAVRIX_DEPS_PREFIX:-$HOME/.cache/tavrix/mingw32}
DEPS_PREFIX64=${TAVRIX_DEPS_PREFIX64:-$HOME/.cache/tavrix/mingw64}
SRC_CACHE=${TAVRIX_SRC_CACHE:-$HOME/.cache/tavrix/src}
SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo

log() { printf '[setup] %s\n' "$*" >&2; }

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format dpkg-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 xvfb xauth x11-utils x11-apps imagemagick
  zlib1g-dev libz-mingw-w64-dev libminizip-dev libcapstone-dev
  googletest socat locales pngcheck python3 libwine-dev fonts-wine llvm libexpat1-dev
  python3-aiosmtpd python3-pyftpdlib dnsmasq-base iproute2 curl openssl
)

need_apt_update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
  need_apt_update=1
fi

# Source packages (zlib for minizip, capstone) need deb-src entries.
SRC_LIST=/etc/apt/sources.list.d/tavrix-src.sources
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  log "enabling Debian source packages"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$SRC_LIST" >/dev/null
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee /etc/apt/sources.list.d/tavrix-src.list >/dev/null
  fi
  need_apt_update=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  need_apt_update=1
fi
if [ $need_apt_update = 1 ]; then
  log "apt-get update"
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: ru_RU gives code page 1251.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf8$'; then
  log "generating the ru_RU.UTF-8 locale"
  $SUDO sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

fetch_source() { # $1 = source package spec, $2 = glob of the unpacked folder
  mkdir -p "$SRC_CACHE"
  local dir
  dir=$(compgen -G "$SRC_CACHE/$2" | head -n1 || true)
  if [ -z "$dir" ]; then
    log "fetching the Debian source of $1"
    (cd "$SRC_CACHE" && apt-get source -qq "$1" >/dev/null 2>&1)
    dir=$(compgen -G "$SRC_CACHE/$2" | head -n1)
  fi
  printf '%s\n' "$dir"
}

build_deps() { # $1 = target triple, $2 = toolchain file, $3 = install prefix
  local triple=$1 tc=$2 prefix=$3
  local cc=$triple-gcc-posix ar=$triple-gcc-ar-posix
  if [ ! -f "$prefix/lib/libminizip.a" ]; then
    local zdir b
    zdir=$(fetch_source zlib/bookworm 'zlib-*')
    log "building minizip for $triple"
    b=$(mktemp -d)
    for f in zip ioapi unzip iowin32; do
      $cc -O2 -DUSE_FILE32API -I"$zdir/contrib/minizip" -c "$zdir/contrib/minizip/$f.c" -o "$b/$f.o"
    done
    mkdir -p "$prefix/lib" "$prefix/include/minizip"
    $ar rcs "$prefix/lib/libminizip.a" "$b"/*.o
    cp "$zdir"/contrib/minizip/{zip,unzip,ioapi,iowin32,crypt}.h "$prefix/include/minizip/"
    rm -rf "$b"
  fi
  if [ ! -f "$prefix/lib/libcapstone.a" ]; then
    local cdir b
    cdir=$(fetch_source capstone 'capstone-*')
    log "building Capstone (x86 only) for $triple"
    b=$(mktemp -d)
    cmake -S "$cdir" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DCAPSTONE_ARCHITECTURE_DEFAULT=OFF -DCAPSTONE_X86_SUPPORT=ON \
      -DCAPSTONE_BUILD_SHARED=OFF -DCAPSTONE_BUILD_TESTS=OFF -DCAPSTONE_BUILD_CSTOOL=OFF >/dev/null 2>&1
    cmake --build "$b" >/dev/null
    cmake --install "$b" >/dev/null
    rm -rf "$b"
  fi
}

CMAKE_DIR="$(cd "$(dirname "$0")/.." && pwd)/cmake"
build_deps i686-w64-mingw32 "$CMAKE_DIR/mingw-i686.cmake" "$DEPS_PREFIX32"
build_deps x86_64-w64-mingw32 "$CMAKE_DIR/mingw-x86_64.cmake" "$DEPS_PREFIX64"

. "$(dirname "$0")/ia32.sh"
tavrix_ia32_check
if [ "$TAVRIX_IA32" = yes ]; then
  log "ready"
else
  log "ready; but $TAVRIX_IA32_REASON: the Windows programs build and do not run here"
fi
