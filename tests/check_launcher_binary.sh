#!/bin/sh
# A shipped executable (the launcher, the unzip utility) must be static (no
# interpreter, no shared library), stripped, and at most LIMIT bytes
# (default 64 KiB, the launcher's).
#   check_launcher_binary.sh BINARY STATIC [LIMIT]
bin=$1
static=$2
limit=${3:-65536}
name=$(basename "$bin")
size=$(stat -c %s "$bin") || exit 1
echo "$name: $size bytes"
case "$static" in
ON|1|TRUE|true) ;;
*) echo "$name built dynamically (sanitizer build): size and linkage not checked"; exit 0 ;;
esac
fail=0
if [ "$size" -gt "$limit" ]; then echo "FAIL: larger than $limit bytes"; fail=1; fi
if readelf -l "$bin" | grep -q INTERP; then echo "FAIL: has a program interpreter"; fail=1; fi
if readelf -d "$bin" 2>/dev/null | grep -q NEEDED; then echo "FAIL: needs shared libraries"; fail=1; fi
if readelf -S "$bin" | grep -q '\.symtab'; then echo "FAIL: not stripped"; fail=1; fi
exit $fail
