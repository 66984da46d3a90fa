#!/bin/sh
# Lays out in DEST what the static launcher and unzip utility for the stub
# set ARCH (a row of common/architectures.txt built "multilib" or "cross")
# are built with, from Debian's packages: musl-dev and libdeflate-dev of
# ARCH (musl's static C library and headers, libdeflate.a), and
# DEST/musl-gcc.specs, musl's specs file pointing into DEST, and
# DEST/packages, what dpkg says of each package unpacked (a line each:
# package, version, architecture, source package; the stubs record musl's
# and libdeflate's from it, cmake/stub_libraries.cmake).  For a "cross"
# set also the cross compilers of this machine's architecture (gcc, g++,
# cpp, binutils and libgcc for ARCH), run from where they lie through
# DEST/bin/gcc and DEST/bin/g++ (GCC finds its parts relative to itself;
# the binutils need their private libraries).  A "multilib" set (i386) is
# built by this machine's own GCC with -m32.
#
# The machine's dpkg and apt state stay as they were: no architecture is
# added and nothing is installed (the cross compilers would remove
# gcc-multilib, which the i386 build needs).  apt reads the package lists
# into a folder of its own under DEST, downloads the packages (checked
# against those signed lists) and dpkg -x unpacks them.
#   scripts/musl-root.sh ARCH DEST
set -eu
. "$(dirname "$0")/architectures.sh"
[ $# -eq 2 ] || { echo "usage: $0 SET DEST (a set common/architectures.txt builds" \
  "multilib or cross)" >&2; exit 2; }
arch=$1
dest=$2
build=$(arch_field "$arch" 17) && [ "$build" != native ] ||
  { echo "$0: no such architecture '$arch'" >&2; exit 2; }
debarch=$(arch_field "$arch" 13)
triple=$(arch_field "$arch" 14)
musl=$(arch_field "$arch" 15)
cross=0
[ "$build" = cross ] && cross=1
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
if [ -f "$dest/musl-gcc.specs" ] && [ -f "$dest/packages" ]; then
  exit 0
fi
native=$(dpkg --print-architecture)
packages="musl-dev:$debarch libdeflate-dev:$debarch"
if [ "$cross" = 1 ]; then
  packages="$packages gcc-12-$triple g++-12-$triple cpp-12-$triple binutils-$triple"
  packages="$packages libgcc-12-dev-$debarch-cross"
fi
apt="$dest/apt"
rm -rf "$apt" "$dest/usr" "$dest/bin" "$dest/packages" "$dest/packages.new"
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs"
set -- -o APT::Architecture="$native" -o APT::Architectures::="$native" \
  -o APT::Architectures::="$debarch" \
  -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" \
  -o Dir::State::status=/dev/null -o APT::Sandbox::User=root
echo "$arch musl: fetching $packages into $dest"
"$(dirname "$0")/apt-update.sh" "$@"
# shellcheck disable=SC2086
(cd "$apt/debs" && apt-get -qq "$@" download $packages)
for deb in "$apt/debs"/*.deb; do
  dpkg -x "$deb" "$dest"
  dpkg-deb --show --showformat='${Package} ${Version} ${Architecture} ${source:Package}\n' \
    "$deb" >>"$dest/packages.new"
done
lib="$dest/usr/lib/$musl"
inc="$dest/usr/include/$musl"
lacking() { echo "$arch musl: the unpacked packages lack $1" >&2; exit 1; }
[ -f "$lib/libc.a" ] && [ -f "$lib/musl-gcc.specs" ] && [ -d "$inc" ] || lacking "musl"
[ -f "$dest/usr/lib/$triple/libdeflate.a" ] || lacking "libdeflate.a"

if [ "$cross" = 1 ]; then
  bfd=$(find "$dest/usr/lib" -name 'libbfd-*.so' | head -n 1)
  [ -n "$bfd" ] || lacking "the binutils' libbfd"
  bfd=$(dirname "$bfd")
  mkdir -p "$dest/bin"
  for tool in gcc g++; do
    [ -x "$dest/usr/bin/$triple-$tool-12" ] || lacking "$triple-$tool-12"
    # Relative to the wrapper's own place: DEST may hold any character.
    cat >"$dest/bin/$tool" <<EOF
#!/bin/sh
# $triple-$tool-12 as unpacked under this folder's parent.
root=\$(cd "\$(dirname "\$0")/.." && pwd)
LD_LIBRARY_PATH="\$root/${bfd#"$dest"/}\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}"
export LD_LIBRARY_PATH
exec "\$root/usr/bin/$triple-$tool-12" "\$@"
EOF
    chmod 755 "$dest/bin/$tool"
  done
fi

# The specs file names musl's folders by their installed paths.  GCC splits
# a spec at blanks unless a backslash escapes them (and reads % as a
# directive); the result is then escaped again for sed's replacement.
spec_path() {
  printf '%s\n' "$1" | sed -e 's/[\\ ]/\\&/g' -e 's/%/%%/g' -e 's/[\\&#]/\\&/g'
}
set -- -e "s#/usr/lib/$musl#$(spec_path "$lib")#g" -e "s#/usr/include/$musl#$(spec_path "$inc")#g"
if [ "$cross" = 1 ]; then
  # GCC splits the path it finds for "libgcc.a%s" at blanks (the folder's
  # name may hold some): the linker finds libgcc in the compiler's folder.
  gcclib=$(dirname "$(find "$dest/usr/lib/gcc-cross" -name libgcc.a | head -n 1)")
  [ -f "$gcclib/libgcc.a" ] && [ -f "$gcclib/libgcc_eh.a" ] || lacking "libgcc"
  set -- "$@" -e "s#^libgcc\.a%s %:if-exists(libgcc_eh\.a%s)\$#-lgcc -lgcc_eh#"
fi
sed "$@" "$lib/musl-gcc.specs" >"$dest/musl-gcc.specs.new"
mv "$dest/musl-gcc.specs.new" "$dest/musl-gcc.specs"
# Last: its presence says the layout is whole.
mv "$dest/packages.new" "$dest/packages"
rm -rf "$apt"
