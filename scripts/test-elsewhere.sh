#!/bin/sh
# The whole suite (scripts/test.sh) on fresh clones of this checkout's
# committed HEAD, where a newcomer might put one: in root's home (mode 0700,
# which the users that some tests drop to cannot enter) and under /tmp
# (which the end-to-end tests hide behind a private /tmp), each in a folder
# whose name holds a blank.  Every clone is removed afterwards.
#   scripts/test-elsewhere.sh                 both places
#   TEST_PLACES=/tmp scripts/test-elsewhere.sh
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
status=0
for place in ${TEST_PLACES:-/root /tmp}; do
  base=$(mktemp -d "$place/trell clone.XXXXXX")
  echo "== a clone in $base/trell"
  if git clone -q "$src" "$base/trell" && (cd "$base/trell" && scripts/test.sh); then
    echo "== $base/trell: passed"
  else
    echo "== $base/trell: FAILED"
    status=1
  fi
  rm -rf "$base"
done
exit $status
