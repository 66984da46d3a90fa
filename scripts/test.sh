#!/bin/sh
# The whole test suite: set up and build, then run every unit and
# end-to-end test with ctest.
#   SANITIZE=1 scripts/test.sh   the same in build-asan/ with ASan and UBSan
set -eu
cd "$(dirname "$0")/.."
if [ "${SANITIZE:-0}" = 1 ]; then
  export BUILD_DIR=build-asan CMAKE_ARGS="-DTRELL_SANITIZE=ON ${CMAKE_ARGS:-}"
fi
build=${BUILD_DIR:-build}
scripts/setup.sh
cd "$build"
ctest --output-on-failure -j"$(nproc)" --timeout 900
