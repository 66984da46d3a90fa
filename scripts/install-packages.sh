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
"$(dirname "$0")/apt-update.sh"
# shellcheck disable=SC2086
apt-get install -y -qq $missing >/dev/null
