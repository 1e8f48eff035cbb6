#!/usr/bin/env bash
# Installs what is missing, builds the x86-64, i386 and sanitizer
# configurations and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
make -k test
