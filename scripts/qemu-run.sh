#!/bin/sh
# Runs COMMAND so that executables of the stub set ARCH (a row of
# common/architectures.txt other than this machine's own) run in it, also
# those that its shells start: under Debian's qemu-NAME-static
# (qemu-user-static, NAME the table's), through a binfmt_misc instance of
# its own.
#
# COMMAND runs as root of a new user namespace (root there is the caller)
# with a private mount namespace, in which a binfmt_misc file system is
# mounted and qemu-ARCH-static is registered for ARCH's executables with
# the F flag (the interpreter is opened at once, so it serves in chroots
# and further mount namespaces too).  The registration belongs to that user
# namespace: the machine's own binfmt_misc is neither read nor changed,
# runs side by side do not meet, and it is gone with COMMAND's processes,
# however they end.  Needs Linux 6.7 or later (binfmt_misc in a user
# namespace).
#   scripts/qemu-run.sh ARCH COMMAND [ARGS...]
# Exit status: COMMAND's, or 125 when the emulation cannot be set up (the
# reason on standard error).
set -eu
fail() { echo "qemu-run: $*" >&2; exit 125; }
. "$(dirname "$0")/architectures.sh"
[ $# -ge 2 ] || fail "usage: $0 ARCH COMMAND [ARGS...] (ARCH: a stub set of common/architectures.txt)"
arch=$1
shift
name=$(arch_field "$arch" 16) || fail "no such architecture '$arch'"
qemu=/usr/bin/qemu-$name-static
conf=/usr/lib/binfmt.d/qemu-$name.conf
if [ -f "$conf" ]; then
  # Debian's registration (":NAME:M::MAGIC:MASK:INTERPRETER:FLAGS") gives
  # the magic and mask.
  magic=$(cut -d: -f5 "$conf")
  mask=$(cut -d: -f6 "$conf")
else
  # Debian registers none for i386 on x86-64 hosts: the ELF header of the
  # table's class, byte order and machine, version 1 (any OS/ABI), an
  # executable or shared object (the e_type mask); binfmt_misc reads the \x
  # escapes itself.
  class=$(arch_field "$arch" 9)
  machine=$(arch_field "$arch" 8)
  [ "$class" = 64 ] && c=02 || c=01
  lo=$(printf '%02x' $((machine & 255)))
  hi=$(printf '%02x' $((machine >> 8)))
  if [ "$(arch_field "$arch" 10)" = big ]; then
    magic="\\x7fELF\\x$c\\x02\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x$hi\\x$lo"
    mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff'
  else
    magic="\\x7fELF\\x$c\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x$lo\\x$hi"
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  fi
fi
[ -x "$qemu" ] || fail "$qemu is missing (Debian: apt-get install qemu-user-static)"
unshare --user --map-root-user true 2>/dev/null || fail "user namespaces are not permitted here"

exec unshare --user --map-root-user --mount --propagation private sh -c '
  fail() { echo "qemu-run: $*" >&2; exit 125; }
  misc=/proc/sys/fs/binfmt_misc
  mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null ||
    fail "binfmt_misc cannot be mounted in a user namespace (Linux 6.7 or later needed)"
  printf "%s" ":trell-$4:M::$1:$2:$3:F" >"$misc/register" ||
    fail "qemu cannot be registered for $4 executables"
  shift 4
  exec "$@"' qemu-run "$magic" "$mask" "$qemu" "$arch" "$@"
