#!/bin/sh
# apt-get update with the given options, tried again when it fails: a mirror
# caught mid-sync fails one index or another for a while (apt then exits
# non-zero, having kept what it read).  After the third failure it goes on
# with the lists fetched: a package they lack then fails its download or
# install by name.  Always exits 0.
#   scripts/apt-update.sh [APT OPTIONS...]
tries=0
until apt-get -qq "$@" update; do
  tries=$((tries + 1))
  if [ "$tries" -ge 3 ]; then
    echo "apt-get update failed $tries times; going on with the lists fetched" >&2
    break
  fi
  sleep 10
done
exit 0
