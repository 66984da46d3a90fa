#!/bin/sh
# musl and libdeflate for i386 in DEST (scripts/musl-root.sh i386 DEST).
#   scripts/i386-musl.sh DEST
exec "$(dirname "$0")/musl-root.sh" i386 "$@"
