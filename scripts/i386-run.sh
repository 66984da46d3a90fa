#!/bin/sh
# Runs COMMAND so that i386 executables run in it, also those that its
# shells start: under Debian's qemu-i386-static (qemu-user-static), through
# a binfmt_misc instance of its own.
#
# COMMAND runs as root of a new user namespace (root there is the caller)
# with a private mount namespace, in which a binfmt_misc file system is
# mounted and qemu-i386-static is registered for ELF32 i386 executables
# with the F flag (the interpreter is opened at once, so it serves in
# chroots and further mount namespaces too).  The registration belongs to
# that user namespace: the machine's own binfmt_misc is neither read nor
# changed, runs side by side do not meet, and it is gone with COMMAND's
# processes, however they end.  Needs Linux 6.7 or later (binfmt_misc in a
# user namespace).
#   scripts/i386-run.sh COMMAND [ARGS...]
# Exit status: COMMAND's, or 125 when the emulation cannot be set up (the
# reason on standard error).
set -eu
qemu=${QEMU_I386:-/usr/bin/qemu-i386-static}
fail() { echo "i386-run: $*" >&2; exit 125; }
[ $# -ge 1 ] || fail "usage: $0 COMMAND [ARGS...]"
[ -x "$qemu" ] || fail "$qemu is missing (Debian: apt-get install qemu-user-static)"
unshare --user --map-root-user true 2>/dev/null || fail "user namespaces are not permitted here"

# ELF, 32-bit, little-endian, version 1 (any OS/ABI), executable or shared
# object (the e_type mask), machine 3 (i386): binfmt_misc reads the \x
# escapes itself.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
exec unshare --user --map-root-user --mount --propagation private sh -c '
  fail() { echo "i386-run: $*" >&2; exit 125; }
  misc=/proc/sys/fs/binfmt_misc
  mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null ||
    fail "binfmt_misc cannot be mounted in a user namespace (Linux 6.7 or later needed)"
  printf "%s" ":trell-i386:M::$1:$2:$3:F" >"$misc/register" ||
    fail "qemu cannot be registered for i386 executables"
  shift 3
  exec "$@"' i386-run "$magic" "$mask" "$qemu" "$@"
