#!/bin/sh
# check_launcher_binary.sh fails on every executable that breaks the
# promise, each for its reason: a shell script (with and without a machine
# named, in shipping and in sanitizer builds), the launcher patched to
# another machine or to an object file, a dynamic executable, one too large;
# and the launcher itself passes.
#   check_launcher_binary_test.sh LAUNCHER STATIC DYNAMIC_EXECUTABLE
set -u
here=$(cd "$(dirname "$0")" && pwd)
check=$here/check_launcher_binary.sh
launcher=$1
static=$2
dynamic=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect STATUS LINE ARGS...: check_launcher_binary.sh ARGS exits 0 when
# STATUS is "pass", else non-zero with LINE among its output.
expect() {
  want=$1 line=$2
  shift 2
  out=$("$check" "$@" 2>&1)
  status=$?
  if [ "$want" = pass ] && [ $status -eq 0 ]; then
    return
  fi
  if [ "$want" = fail ] && [ $status -ne 0 ] && printf '%s\n' "$out" | grep -qxF "$line"; then
    return
  fi
  echo "WRONG: check_launcher_binary.sh $* ended $status, expected $want${line:+ with '$line'}:"
  printf '%s\n' "$out" | sed 's/^/  /'
  failures=$((failures + 1))
}

# Patches the two bytes at offset in a copy of the launcher.
patched() {
  cp "$launcher" "$work/$1"
  printf "$3" | dd of="$work/$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
  echo "$work/$1"
}

expect pass "" "$launcher" "$static" 147456 x86-64
expect pass "" "$launcher" "$static" 147456

script="$work/tool.sh"
printf '#!/bin/sh\necho not an executable\n' > "$script"
chmod 755 "$script"
for mode in ON OFF; do
  expect fail "FAIL: not an ELF file" "$script" $mode 147456 ""
  expect fail "FAIL: not an ELF file" "$script" $mode 147456 x86-64
  expect fail "FAIL: not an ELF file" "$script" $mode
done

# e_machine (offset 18) 183, AArch64; e_type (offset 16) 1, a relocatable.
arm=$(patched arm 18 '\267\000')
expect fail "FAIL: ELF64 little AArch64, not ELF64 little Advanced Micro Devices X86-64" \
  "$arm" "$static" 147456 x86-64
expect fail "FAIL: ELF64 little AArch64, not ELF64 little Advanced Micro Devices X86-64" \
  "$arm" OFF
object=$(patched object 16 '\001\000')
expect fail "FAIL: not an ELF executable" "$object" "$static" 147456 x86-64

expect fail "FAIL: has a program interpreter" "$dynamic" ON 1000000000 x86-64
expect fail "FAIL: needs shared libraries" "$dynamic" ON 1000000000 x86-64
expect fail "FAIL: larger than 1000 bytes" "$launcher" ON 1000 x86-64
expect fail "FAIL: unknown machine 'x86_64'" "$launcher" "$static" 147456 x86_64

[ $failures -eq 0 ] && echo "every case as expected"
exit $((failures != 0))
