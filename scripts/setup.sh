#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and only
# what is missing. Safe to run again: with everything present it changes
# nothing and does not refresh the package lists.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

packages=(
  build-essential g++ cmake make pkg-config python3 ca-certificates
  g++-multilib
  libgtk2.0-dev libgtk2.0-dev:i386 fonts-dejavu-core
  libgtest-dev libgmock-dev libbenchmark-dev libicu-dev
  xvfb xdotool x11-utils
  clang libclang-rt-14-dev valgrind
)

lists_fresh=0
apt_install() {
  [ "$#" -gt 0 ] || return 0
  if [ "$lists_fresh" = 0 ]; then
    as_root apt-get update -q
    lists_fresh=1
  fi
  as_root apt-get install -y -q --no-install-recommends "$@"
}

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  lists_fresh=0
fi

missing=()
for p in "${packages[@]}"; do
  is_installed "$p" || missing+=("$p")
done
apt_install "${missing[@]}"

# The i386 loader prints its version when the kernel can start i386 programs;
# where it cannot (exec format error), they run under qemu-i386.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  is_installed qemu-user || apt_install qemu-user
  # The i386 gdk-pixbuf post-install step could not run its loader query on
  # such a kernel, so 32-bit GTK programs would find no image loaders.
  query=/usr/lib/i386-linux-gnu/gdk-pixbuf-2.0/gdk-pixbuf-query-loaders
  cache=/usr/lib/i386-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache
  if [ -x "$query" ] && ! grep -q libpixbufloader "$cache" 2>/dev/null; then
    as_root qemu-i386 "$query" --update-cache
  fi
fi
echo "setup: build and test dependencies are present"
