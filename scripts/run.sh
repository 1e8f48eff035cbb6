#!/usr/bin/env bash
# Installs what is missing, builds the programs and runs them: consoledemo in
# this terminal, then the 32-bit argreport on the display (pass arguments for
# argreport after the script's name).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
make programs
exec bash scripts/run-programs.sh "$@"
