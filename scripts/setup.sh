#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, and nothing
# that is already there. Safe to run again: with everything present it changes
# nothing and does not touch the package lists.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# Can this kernel start an i386 binary? If not, 32-bit programs run under qemu-i386.
host_runs_i386() {
  local probe=/bin/true
  [ -x /usr/lib/i386-linux-gnu/ld-linux.so.2 ] || [ -x /lib/ld-linux.so.2 ] || return 1
  # A tiny static i386 ELF would be ideal; the i386 loader itself is an i386 ELF
  # that prints its usage and exits, which is enough to learn whether exec works.
  local loader=/lib/ld-linux.so.2
  [ -x "$loader" ] || loader=/usr/lib/i386-linux-gnu/ld-linux.so.2
  "$loader" --version >/dev/null 2>&1
}

packages=(
  build-essential g++ cmake make pkg-config python3 file
  g++-multilib
  libgtk2.0-dev libgtk2.0-dev:i386
  libgtest-dev libgmock-dev
  libbenchmark-dev libicu-dev
  xvfb xdotool x11-utils
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# qemu-user is needed only when the kernel cannot execute i386 binaries; that can
# only be tried once the i386 C library is there, so it is checked after the rest.
install_missing() {
  if [ "$#" -gt 0 ]; then
    if [ "${need_update:-0}" = 1 ] || [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial)" ] || [ "${updated:-0}" = 0 ]; then
      if [ "${updated:-0}" = 0 ]; then
        $SUDO apt-get update -q
        updated=1
      fi
    fi
    $SUDO apt-get install -y -q --no-install-recommends "$@"
  fi
}
updated=0
install_missing "${missing[@]}"

if ! host_runs_i386; then
  if ! command -v qemu-i386 >/dev/null 2>&1; then
    install_missing qemu-user
  fi
  # gdk-pixbuf's i386 post-install step could not run its loader query on this
  # kernel, so the loader cache is missing; build it through the emulator.
  cache=/usr/lib/i386-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache
  query=/usr/lib/i386-linux-gnu/gdk-pixbuf-2.0/gdk-pixbuf-query-loaders
  if [ -x "$query" ] && ! grep -q 'png' "$cache" 2>/dev/null; then
    $SUDO qemu-i386 -L / "$query" --update-cache
  fi
fi
echo "setup: all build and test dependencies are present"
