#!/bin/sh
# Installs what the build, the demo and the tests need on a Debian machine
# (run as root; apt-get is only called when something is missing), then
# configures and builds into build/.  Configuring also lays out musl and
# libdeflate, and the cross compilers where needed, for every other
# architecture of common/architectures.txt in the build folder
# (scripts/musl-root.sh), for those launchers and unzip utilities;
# qemu-user-static runs them in the tests.  The official CycloneDX JSON
# schemas, which the tests validate bills of materials against, come from
# the npm registry (tests/cyclonedx/package-lock.json pins them) into
# BUILD/cyclonedx; without npm or the registry the set-up fails.
#   scripts/setup.sh            build/, the shipped static launcher
#   BUILD_DIR=x CMAKE_ARGS=..   another build folder or options
# CMAKE_ARGS is read as the words of a shell command line: blanks separate
# the options, and quotes ('...' or "...") or a backslash keep a blank inside
# one, e.g.
#   CMAKE_ARGS='-DTRELL_FTP_HOST=x "-DTRELL_CROSS_ROOT=/a b/c"' scripts/setup.sh
# Nothing in it is run or expanded: xargs splits it.
set -eu
cd "$(dirname "$0")/.."

scripts/install-packages.sh cmake g++ make musl-tools minizip libgtest-dev python3 zip \
  unzip python3-pyftpdlib libcurl4 libcurl4-openssl-dev libzip-dev libdeflate-dev dos2unix \
  util-linux iproute2 procps binutils file gcc-multilib busybox-static qemu-user-static \
  help2man pkg-config nlohmann-json3-dev dpkg-dev man-db libsodium-dev minisign zlib1g-dev \
  p7zip-full openjdk-17-jdk-headless strace time nginx vsftpd openssh-server openssh-client \
  openssl passwd ansible-core ansible-lint sudo python3-jsonschema
# npm (Debian's, unless the machine has one of its own).
command -v npm >/dev/null 2>&1 || scripts/install-packages.sh npm

build=${BUILD_DIR:-build}
# Installed again whenever the pinned versions change; the checkout stays
# as it is.
schemas="$build/cyclonedx"
schema="$schemas/node_modules/@cyclonedx/cyclonedx-library/res/schema/bom-1.5.SNAPSHOT.schema.json"
if ! cmp -s tests/cyclonedx/package-lock.json "$schemas/package-lock.json" || [ ! -f "$schema" ]; then
  rm -rf "$schemas"
  mkdir -p "$schemas"
  cp tests/cyclonedx/package.json tests/cyclonedx/package-lock.json "$schemas/"
  (cd "$schemas" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) || {
    rm -rf "$schemas"
    echo "setup: npm could not install the CycloneDX schemas (tests/cyclonedx) into $schemas" >&2
    exit 1
  }
fi
printf '%s\n' "${CMAKE_ARGS:-}" | xargs cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
