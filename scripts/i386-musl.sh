#!/bin/sh
# Lays out what the i386 launcher and unzip utility are built against in
# DEST: Debian's musl-dev:i386 (musl's static C library and headers) and
# libdeflate-dev:i386 (libdeflate.a), unpacked from their .deb files, and
# DEST/musl-gcc.specs, musl's specs file pointing into DEST.
#
# The machine's dpkg and apt state stay as they were: no architecture is
# added and nothing is installed.  apt reads the i386 package lists into a
# folder of its own under DEST, downloads the two packages (checked against
# those signed lists) and dpkg -x unpacks them.
#   scripts/i386-musl.sh DEST
set -eu
[ $# -eq 1 ] || { echo "usage: $0 DEST" >&2; exit 2; }
dest=$1
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
if [ -f "$dest/musl-gcc.specs" ]; then
  exit 0
fi
apt="$dest/apt"
rm -rf "$apt" "$dest/usr"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs"
set -- -o APT::Architecture=i386 -o APT::Architectures::=i386 \
  -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" \
  -o Dir::State::status=/dev/null -o APT::Sandbox::User=root
echo "i386 musl: fetching musl-dev:i386 and libdeflate-dev:i386 into $dest"
apt-get -qq "$@" update
(cd "$apt/debs" && apt-get -qq "$@" download musl-dev:i386 libdeflate-dev:i386)
for deb in "$apt/debs"/*.deb; do
  dpkg -x "$deb" "$dest"
done
lib="$dest/usr/lib/i386-linux-musl"
inc="$dest/usr/include/i386-linux-musl"
[ -f "$lib/libc.a" ] && [ -f "$lib/musl-gcc.specs" ] && [ -d "$inc" ] &&
  [ -f "$dest/usr/lib/i386-linux-gnu/libdeflate.a" ] ||
  { echo "i386 musl: the unpacked packages lack files they should hold" >&2; exit 1; }
# The specs file names musl's folders by their installed paths.  GCC splits
# a spec at blanks unless a backslash escapes them (and reads % as a
# directive); the result is then escaped again for sed's replacement.
spec_path() {
  printf '%s\n' "$1" | sed -e 's/[\\ ]/\\&/g' -e 's/%/%%/g' -e 's/[\\&#]/\\&/g'
}
sed -e "s#/usr/lib/i386-linux-musl#$(spec_path "$lib")#g" \
  -e "s#/usr/include/i386-linux-musl#$(spec_path "$inc")#g" \
  "$lib/musl-gcc.specs" >"$dest/musl-gcc.specs.new"
mv "$dest/musl-gcc.specs.new" "$dest/musl-gcc.specs"
rm -rf "$apt"
