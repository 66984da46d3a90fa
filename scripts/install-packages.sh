#!/bin/sh
# Installs those of the named Debian packages that are missing (as root);
# apt-get is only called when one is.
#   scripts/install-packages.sh PACKAGE...
set -eu
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -n "$missing" ] || exit 0
echo "installing$missing"
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails an index for a while: try again, then
# install from the lists apt kept (a package they lack fails by name).
tries=0
until apt-get update -qq; do
  tries=$((tries + 1))
  [ "$tries" -lt 3 ] || break
  sleep 10
done
# shellcheck disable=SC2086
apt-get install -y -qq $missing >/dev/null
