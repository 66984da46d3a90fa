#!/bin/sh
# The whole test suite: set up and build, then run every unit and
# end-to-end test with ctest.
#   SANITIZE=1 scripts/test.sh   the same in build-asan/, built with
#                                AddressSanitizer and UBSan; any report fails
#   CMAKE_ARGS=...               options for cmake, quoted as scripts/setup.sh says
set -eu
cd "$(dirname "$0")/.."
if [ "${SANITIZE:-0}" = 1 ]; then
  export BUILD_DIR=build-asan CMAKE_ARGS="-DTRELL_SANITIZE=ON ${CMAKE_ARGS:-}"
fi
build=${BUILD_DIR:-build}
scripts/setup.sh
cd "$build"
if [ "${SANITIZE:-0}" != 1 ]; then
  exec ctest --output-on-failure -j"$(nproc)" --timeout 900
fi
# Reports go to files as well as failing the process, so that none is lost
# in a test that only looks at an exit status.  Not under /tmp: tests mount
# private folders over it, and the run-time creates the folder at start.
reports=$(mktemp -d /var/tmp/trell-sanitizer-reports.XXXXXX)
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
status=0
ctest --output-on-failure -j"$(nproc)" --timeout 900 || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  cat "$reports"/*
  echo "sanitizer reports: $(ls "$reports" | wc -l) (see above)"
  status=1
fi
exit $status
