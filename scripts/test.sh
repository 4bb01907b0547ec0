#!/usr/bin/env bash
# Builds everything (scripts/build.sh installs what is missing first), then runs every test
# through ctest: unit tests, tool tests and the end-to-end tests under Wine (label "e2e").
# Extra arguments go to ctest, e.g. `scripts/test.sh -L e2e` or `scripts/test.sh -R foundation`.
set -uo pipefail
cd "$(dirname "$0")/.."

# A failed build still runs the tests of what did build (a missing test program fails in
# ctest by name), but the script fails either way.
scripts/build.sh
built=$?
if [ ! -f build/host/CTestTestfile.cmake ]; then
  echo "test.sh: no host build to test" >&2
  exit 1
fi
# Two at a time: the end-to-end modules each work in Wine prefixes of their own.
ctest --test-dir build/host --output-on-failure -j2 "$@"
tested=$?
[ "$built" = 0 ] && [ "$tested" = 0 ]
