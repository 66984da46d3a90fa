#!/bin/sh
# The bill of materials of a large package: a 1 GiB image of 50,000 files of
# random bytes (bench/make_sbom_payload.py) built into a package, and its
# document made by pkgtool sbom, timed with its peak resident memory and
# its peak private (anonymous) memory (bench/peak_memory.py): twice with
# the package in the page cache, once with it evicted and pkgtool in a 64 MB
# memory cgroup (root and cgroup v1's memory controller; skipped
# elsewhere), and once for a quarter of the payload, to show the time
# growing with the size.  The resident figure counts the package's pages
# that the mapping of its image shows (page cache, shared and given back);
# the private one what pkgtool allocates.  Needs about 3.5 GB in build/.
#   bench/sbom.sh
set -eu
cd "$(dirname "$0")/.."
[ -x build/bin/pkgtool ] || scripts/setup.sh
work=build/bench-sbom
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
timed() {
  /usr/bin/python3 bench/peak_memory.py "$@"
}
# evict FILE: the file's pages out of the page cache.
evict() {
  /usr/bin/python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.fsync(fd)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
}
for scale in 4 1; do
  files=$((50000 / scale))
  bytes=$((1073741824 / scale))
  /usr/bin/python3 bench/make_sbom_payload.py "$work/payload" "$files" "$bytes"
  build/bin/pkgtool build -o "$work/big.pkg" --record redhat 8 x86-64 0 ./tool "" \
    --image "$work/payload"
  rm -rf "$work/payload"
  echo "pkgtool sbom: $files files, $(stat -c %s "$work/big.pkg") bytes of package"
  echo "  in the page cache:"
  timed build/bin/pkgtool sbom "$work/big.pkg" -o "$work/big.json"
  [ "$scale" = 1 ] || continue
  timed build/bin/pkgtool sbom "$work/big.pkg" -o "$work/big.json"
  echo "  document: $(stat -c %s "$work/big.json") bytes"
  cg=/sys/fs/cgroup/memory/trell-bench-sbom-$$
  if [ "$(id -u)" = 0 ] && [ -f /sys/fs/cgroup/memory/memory.limit_in_bytes ]; then
    mkdir "$cg"
    echo $((64 << 20)) >"$cg/memory.limit_in_bytes"
    evict "$work/big.pkg"
    echo "  evicted, in a 64 MB memory cgroup:"
    timed sh -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$cg" build/bin/pkgtool sbom \
      "$work/big.pkg" -o "$work/cold.json"
    echo "    the cgroup's peak: $(cat "$cg/memory.max_usage_in_bytes") bytes;" \
      "$(grep '^oom_kill ' "$cg/memory.oom_control")"
    cmp "$work/big.json" "$work/cold.json" && echo "    the same document"
    rmdir "$cg"
  fi
done
