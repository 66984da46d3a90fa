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
# LeakSanitizer notes a thread whose registers it could not read while it
# stopped the process to scan it ("Unable to get registers from thread N."),
# as when the thread was ending just then.  It then skips a thread that is
# gone and counts the whole stack of any other as reachable, so the note
# reports no fault of ours.  It is shown but is no finding; every other line
# in a log is one.
benign='^==[0-9]*==Unable to get registers from thread [0-9]*\.$'
found=0
for log in "$reports"/*; do
  [ -e "$log" ] || continue
  cat "$log"
  if grep -qv "$benign" "$log"; then
    found=$((found + 1))
  fi
done
if [ "$found" -gt 0 ]; then
  echo "sanitizer reports: $found (see above)"
  status=1
fi
exit $status
