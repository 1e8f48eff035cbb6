#!/usr/bin/env bash
# Runs the built programs: consoledemo (64-bit) in this terminal, then
# argreport (32-bit) on $DISPLAY with this script's arguments.
set -uo pipefail
cd "$(dirname "$0")/.."

consoledemo=build/x64/programs/consoledemo/consoledemo
argreport=build/i386/programs/argreport/argreport
emulator=""
/lib/ld-linux.so.2 --version >/dev/null 2>&1 || emulator=qemu-i386

if [ -x "$consoledemo" ]; then
  if [ -t 0 ] && [ -t 1 ]; then
    "$consoledemo"
    status=$?
    # The demo leaves its last colours (white on white) in force.
    printf '\033[0m\n'
    echo "consoledemo exited with status $status"
  else
    echo "consoledemo needs a terminal: run $consoledemo from one."
  fi
fi

if [ -x "$argreport" ]; then
  if [ -n "${DISPLAY:-}" ]; then
    $emulator "$argreport" "$@"
    echo "argreport exited with status $?"
  else
    echo "No display: to see argreport's dialog on a virtual X server, run"
    echo "  Xvfb :99 -noreset & DISPLAY=:99 $emulator $argreport one two"
    echo "and, for a picture of it, with x11-apps and imagemagick installed:"
    echo "  xwd -root -display :99 | convert xwd:- argreport.png"
  fi
fi

if [ ! -x "$consoledemo" ] && [ ! -x "$argreport" ]; then
  # Before the programs exist, the core's own example shows the frame at work.
  build/x64/tests/core/frame_demo "héllo"
  echo "frame_demo exited with status $?"
fi
