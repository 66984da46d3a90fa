#!/bin/sh
# The shipped launcher must be static (no interpreter, no shared library),
# stripped, and at most 64 KiB.
bin=$1
static=$2
size=$(stat -c %s "$bin") || exit 1
echo "launcher: $size bytes"
case "$static" in
ON|1|TRUE|true) ;;
*) echo "launcher built dynamically (sanitizer build): size and linkage not checked"; exit 0 ;;
esac
fail=0
if [ "$size" -gt 65536 ]; then echo "FAIL: larger than 64 KiB"; fail=1; fi
if readelf -l "$bin" | grep -q INTERP; then echo "FAIL: has a program interpreter"; fail=1; fi
if readelf -d "$bin" 2>/dev/null | grep -q NEEDED; then echo "FAIL: needs shared libraries"; fail=1; fi
if readelf -S "$bin" | grep -q '\.symtab'; then echo "FAIL: not stripped"; fail=1; fi
exit $fail
