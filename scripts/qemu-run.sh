#!/bin/sh
# Runs COMMAND so that executables of ARCH (i386, aarch64, ppc64le or
# s390x) run in it, also those that its shells start: under Debian's
# qemu-ARCH-static (qemu-user-static), through a binfmt_misc instance of its
# own.
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
[ $# -ge 2 ] || fail "usage: $0 i386|aarch64|ppc64le|s390x COMMAND [ARGS...]"
arch=$1
shift
qemu=/usr/bin/qemu-$arch-static
case "$arch" in
i386)
  # ELF, 32-bit, little-endian, version 1 (any OS/ABI), executable or shared
  # object (the e_type mask), machine 3 (i386): binfmt_misc reads the \x
  # escapes itself.  Debian registers no qemu for i386 on x86-64 hosts.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  ;;
aarch64 | ppc64le | s390x)
  # Debian's registration (":NAME:M::MAGIC:MASK:INTERPRETER:FLAGS") gives
  # the magic and mask.
  conf=/usr/lib/binfmt.d/qemu-$arch.conf
  [ -f "$conf" ] || fail "$conf is missing (Debian: apt-get install qemu-user-static)"
  magic=$(cut -d: -f5 "$conf")
  mask=$(cut -d: -f6 "$conf")
  ;;
*) fail "no such architecture '$arch'" ;;
esac
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
