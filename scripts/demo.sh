#!/bin/sh
# The main job: set up and build, make a sample package from the example tool
# under examples/, run it, then run it again with --extract into a folder.
# The package's second record names this machine, as the launcher identifies
# it (os-release's ID, else a word of ID_LIKE, the leading number of
# VERSION_ID, and the machine name), so that the platform check finds it and
# the run goes on without a warning; the first record stays the fall-back
# that any other host runs after the warning and a 5 s pause.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"

# One value of os-release (/etc, else /usr/lib), without its quotes.
os_release_value() {
  for f in /etc/os-release /usr/lib/os-release; do
    if [ -f "$f" ]; then
      sed -n "s/^$1=//p" "$f" | tail -n 1 | sed -e 's/^"\(.*\)"$/\1/' -e "s/^'\(.*\)'$/\1/"
      return
    fi
  done
}

# pkgtool's name of the distribution family a system name belongs to.
family() {
  case "$1" in
  sles|sled|suse|opensuse|opensuse-*) echo suse ;;
  rhel|centos|fedora|rocky|almalinux|ol) echo redhat ;;
  debian) echo debian ;;
  ubuntu) echo ubuntu ;;
  esac
}

# The record values of this host: distribution, major release, architecture;
# nothing when one of them is not known.
host_record() {
  dist=$(family "$(os_release_value ID)")
  if [ -z "$dist" ]; then
    for word in $(os_release_value ID_LIKE); do
      dist=$(family "$word")
      [ -n "$dist" ] && break
    done
  fi
  release=$(os_release_value VERSION_ID | sed -n 's/^\([0-9][0-9]*\).*/\1/p')
  case "$(uname -m)" in
  i386|i486|i586|i686) arch=x86 ;;
  x86_64) arch=x86-64 ;;
  ppc|ppc64|ppc64le) arch=ppc ;;
  aarch64|arm64) arch=arm64 ;;
  s390x) arch=s390x ;;
  *) arch="" ;;
  esac
  if [ -n "$dist" ] && [ -n "$release" ] && [ -n "$arch" ]; then
    echo "$dist $release $arch"
  fi
}

host=$(host_record)
set -- --record redhat 5 x86-64 1 ./sysreport "--demo"
if [ -n "$host" ]; then
  echo "== this host: $host"
  # shellcheck disable=SC2086
  set -- "$@" --record $host 1 ./sysreport "--demo"
else
  echo "== this host is not one a record can name: the fall-back record runs after a warning"
fi
build/bin/pkgtool build -o "$demo/sysreport.pkg" "$@" --image examples/sysreport
build/bin/pkgtool verify "$demo/sysreport.pkg"
build/bin/pkgtool info "$demo/sysreport.pkg"

# The platform check runs: no skipping it.
unset TRELL_PORTABLE_INTERACTIVE
echo
echo "== running $demo/sysreport.pkg -v"
ran=0
"$demo/sysreport.pkg" -v || ran=$?
echo "== exit status $ran"
echo
echo "== running $demo/sysreport.pkg --extract $demo/extracted"
extracted=0
"$demo/sysreport.pkg" --extract "$demo/extracted" || extracted=$?
echo "== exit status $extracted; unpacked:"
ls -l "$demo/extracted" || true
# The demo fails when either run did.
[ "$ran" -eq 0 ] && [ "$extracted" -eq 0 ]
