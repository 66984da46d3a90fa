#!/bin/sh
# The main job: set up and build, make a sample package from the example tool
# under examples/, run it, then run it again with --extract into a folder.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
build/bin/pkgtool build -o "$demo/sysreport.pkg" \
  --record redhat 5 x86-64 1 ./sysreport "--demo" \
  --image examples/sysreport
build/bin/pkgtool verify "$demo/sysreport.pkg"
build/bin/pkgtool info "$demo/sysreport.pkg"
echo
echo "== running $demo/sysreport.pkg -v"
# The demo host matches no record: skip the platform check's pause.
TRELL_PORTABLE_INTERACTIVE= "$demo/sysreport.pkg" -v
echo "== exit status $?"
echo
echo "== running $demo/sysreport.pkg --extract $demo/extracted"
TRELL_PORTABLE_INTERACTIVE= "$demo/sysreport.pkg" --extract "$demo/extracted"
echo "== exit status $?; unpacked:"
ls -l "$demo/extracted"
