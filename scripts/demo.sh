#!/usr/bin/env bash
# The main job: builds everything (scripts/build.sh installs what is missing first), then packs
# the test engine into a setup package with ravelpack, runs the package under Wine and prints,
# step by step, what happened. Without ravelpack it shows what the bare launcher does.
set -uo pipefail
cd "$(dirname "$0")/.."

if ! scripts/build.sh; then
  [ -f dist/launcher.exe ] || exit 1
  echo "demo.sh: the build reported a failure; the demo uses what was built" >&2
fi
export RAVELKIT_DIST_DIR="$PWD/dist" RAVELKIT_WIN_DIR="$PWD/build/win"
export RAVELKIT_WINE_DIR="$PWD/build/host/wine" RAVELKIT_E2E_WORK="$PWD/build/host/e2e"
export PYTHONDONTWRITEBYTECODE=1
exec python3 tests/e2e/demo.py
