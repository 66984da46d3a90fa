#!/bin/sh
# Lays out Debian's libsodium source package in DEST (DEST/src/libsodium,
# Debian's patches applied), for the static launchers: they compile the few
# parts of it they use (Ed25519 verification, BLAKE2b, base64), since the
# packaged libsodium.a is built without function sections and would bring
# its whole elliptic-curve library, about 75 KB, into every launcher.
# DEST/debian-version holds the source package's version, which the
# launchers record (cmake/stub_libraries.cmake).
#
# The machine's apt state stays as it was: apt reads the source lists of
# the machine's own Debian mirrors into a folder of its own under DEST.
#   scripts/libsodium-src.sh DEST
set -eu
[ $# -eq 1 ] || { echo "usage: $0 DEST" >&2; exit 2; }
dest=$1
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
if [ -f "$dest/src/libsodium/include/sodium/version.h" ] && [ -f "$dest/debian-version" ]; then
  exit 0
fi
apt="$dest/apt"
rm -rf "$apt" "$dest/src" "$dest/libsodium" "$dest/debian-version"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" "$apt/get"
# The machine's mirrors, as source lists.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/$(basename "$f")"
done
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$apt/sources.list"
else
  : >"$apt/sources.list"
fi
set -- -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
  -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" \
  -o Dir::State::status=/dev/null -o APT::Sandbox::User=root
echo "libsodium: fetching Debian's source package into $dest"
"$(dirname "$0")/apt-update.sh" "$@"
(cd "$apt/get" && apt-get -qq "$@" source --download-only libsodium >/dev/null)
dpkg-source --no-check -x "$apt/get"/libsodium_*.dsc "$dest/libsodium" >/dev/null
mv "$dest/libsodium/src" "$dest/src"
src="$dest/src/libsodium"
version=$(sed -n 's/^AC_INIT(\[libsodium\],\[\([0-9.]*\)\].*/\1/p' "$dest/libsodium/configure.ac")
[ -n "$version" ] && [ -f "$src/crypto_sign/ed25519/ref10/open.c" ] ||
  { echo "libsodium: the source package lacks files it should hold" >&2; exit 1; }
# What configure would write; the minimal build's functions are all there.
sed -e "s/@VERSION@/$version/" -e 's/@SODIUM_LIBRARY_VERSION_MAJOR@/10/' \
  -e 's/@SODIUM_LIBRARY_VERSION_MINOR@/3/' -e 's/@SODIUM_LIBRARY_MINIMAL_DEF@//' \
  "$src/include/sodium/version.h.in" >"$src/include/sodium/version.h"
sed -n 's/^Version: //p' "$apt/get"/libsodium_*.dsc >"$dest/debian-version.new"
[ -s "$dest/debian-version.new" ] ||
  { echo "libsodium: the source package names no version" >&2; exit 1; }
mv "$dest/debian-version.new" "$dest/debian-version"
rm -rf "$apt" "$dest/libsodium"
