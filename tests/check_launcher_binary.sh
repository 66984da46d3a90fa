#!/bin/sh
# A shipped executable (the launcher, the unzip utility, their builds for
# other architectures) must be an ELF executable built for MACHINE (a stub
# set of common/architectures.txt, x86-64 the default: its class, byte order
# and machine) and, in builds made for shipping (STATIC on), static (no
# interpreter, no shared library), stripped and at most LIMIT bytes (default
# 144 KiB, the launcher's).  Anything else fails, a file that is no ELF at all
# included.
#   check_launcher_binary.sh BINARY STATIC [LIMIT [MACHINE]]
bin=$1
static=$2
limit=${3:-147456}
machine=${4:-x86-64}
name=$(basename "$bin")
size=$(stat -c %s "$bin") || exit 1
echo "$name: $size bytes"
. "$(dirname "$0")/../scripts/architectures.sh"
class=$(arch_field "$machine" 9) || { echo "FAIL: unknown machine '$machine'"; exit 1; }
want="ELF$class $(arch_field "$machine" 10) $(arch_field "$machine" 12)"
# readelf refuses what is no ELF file; an object file or a core is no
# executable either.
header=$(LC_ALL=C readelf -h "$bin" 2>/dev/null) || { echo "FAIL: not an ELF file"; exit 1; }
case "$(printf '%s\n' "$header" | sed -n 's/^ *Type: *//p')" in
EXEC*|DYN*) ;;
*) echo "FAIL: not an ELF executable"; exit 1 ;;
esac
got=$(printf '%s\n' "$header" | sed -n -e 's/^ *Class: *//p' \
  -e 's/^ *Data: *2.s complement, \([a-z]*\) endian$/\1/p' -e 's/^ *Machine: *//p' | tr '\n' ' ')
if [ "$got" != "$want " ]; then echo "FAIL: ${got% }, not $want"; exit 1; fi
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
