#!/bin/sh
# What the launcher's checks before unpacking cost, each measured side by
# side with hyperfine against the same run without it, in a private mount
# namespace (root): nothing on the machine changes.
#   digests   the benchmark package against the same package with its
#             package record zeroed (as one built before the record: no
#             check of the directory, the launcher, the unzip utility, the
#             command table and the zip directory), and the same for an image
#             of 50,000 small files, whose zip directory is large
#   trust     the package signed, on a host whose trust store holds its key
#             (an overlay over /etc), against the unsigned one on a host
#             without a store: the signed bytes read once, BLAKE2b, Ed25519
#   sweep     a package with a one-file image, in a /tmp (a fresh folder on
#             the machine's /tmp file system) that is empty, that holds 10,000
#             other entries, and that holds those and 50 work directories of
#             dead runs, made anew before each timed run
#   bench/checks.sh                 (RUNS=20 runs each)
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh hyperfine zip
[ -x build/bin/launcher ] && [ -x build/bin/pkgtool ] || scripts/setup.sh
if [ "${TRELL_CHECKS_INSIDE:-}" != 1 ]; then
  exec unshare -m --propagation private env TRELL_CHECKS_INSIDE=1 "$0" "$@"
fi
export TRELL_PORTABLE_INTERACTIVE=
runs=${RUNS:-20}
pkgtool=$PWD/build/bin/pkgtool
work=$PWD/build/bench-checks
rm -rf "$work"
mkdir -p "$work/payload" "$work/small"
/usr/bin/python3 bench/make_payload.py "$work/payload"
(cd "$work/payload" && zip -q -X -r ../image.zip .)
"$pkgtool" build -o "$work/bench.pkg" --record redhat 5 x86-64 0 ./tool "" \
  --image "$work/image.zip" >/dev/null

# A copy without its package record, as the end-to-end tests make one.
cp "$work/bench.pkg" "$work/norecord.pkg"
PYTHONPATH=tests/e2e /usr/bin/python3 -c \
  'import sys, e2e_util; e2e_util.without_package_record(sys.argv[1])' "$work/norecord.pkg"

"$pkgtool" keygen --secret "$work/k.key" --public "$work/k.pub" >/dev/null
cp "$work/bench.pkg" "$work/signed.pkg"
"$pkgtool" sign --key "$work/k.key" "$work/signed.pkg" >/dev/null

printf '#!/bin/sh\nexit 0\n' >"$work/small/tool"
chmod 755 "$work/small/tool"
"$pkgtool" build -o "$work/small.pkg" --record redhat 5 x86-64 0 ./tool "" \
  --image "$work/small" >/dev/null

echo "== digests: the package record's checks (20 MB image)"
hyperfine --warmup 3 --runs "$runs" -N \
  -n "with record" "$work/bench.pkg" -n "without record" "$work/norecord.pkg" |
  grep -E "^Benchmark|Time \(mean"

# 50,000 files of a few bytes: a zip directory of about 4 MB.
mkdir -p "$work/many"
/usr/bin/python3 - "$work/many" <<'EOP'
import os, sys
for d in range(50):
    os.mkdir(os.path.join(sys.argv[1], "d%02d" % d))
    for i in range(1000):
        with open(os.path.join(sys.argv[1], "d%02d" % d, "f%04d" % i), "w") as f:
            f.write("x")
EOP
printf '#!/bin/sh\nexit 0\n' >"$work/many/tool"
chmod 755 "$work/many/tool"
"$pkgtool" build -o "$work/many.pkg" --record redhat 5 x86-64 0 ./tool "" \
  --image "$work/many" >/dev/null
cp "$work/many.pkg" "$work/many-norecord.pkg"
PYTHONPATH=tests/e2e /usr/bin/python3 -c \
  'import sys, e2e_util; e2e_util.without_package_record(sys.argv[1])' "$work/many-norecord.pkg"
# The run ends right after the checks, at a TRELL_PORTABLE_TMPDIR that does
# not exist: what is left is the checks, not the 50,000 files unpacked.
echo "== digests: the package record's checks (50,000 files), up to the work folder"
TRELL_PORTABLE_TMPDIR=/nonexistent hyperfine --warmup 2 --runs "$runs" -N -i \
  -n "with record" "$work/many.pkg" -n "without record" "$work/many-norecord.pkg" |
  grep -E "^Benchmark|Time \(mean"

echo "== trust: a signed package on a host that trusts its key (20 MB image)"
mkdir -p "$work/etc-upper/trell/trusted-keys" "$work/etc-work"
cp "$work/k.pub" "$work/etc-upper/trell/trusted-keys/"
chmod 755 "$work/etc-upper/trell" "$work/etc-upper/trell/trusted-keys"
chmod 644 "$work/etc-upper/trell/trusted-keys/k.pub"
hyperfine --warmup 3 --runs "$runs" -N \
  -n "unsigned, no store" "$work/bench.pkg" \
  -n "signed, no store" "$work/signed.pkg" |
  grep -E "^Benchmark|Time \(mean"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$work/etc-upper,workdir=$work/etc-work" /etc
hyperfine --warmup 3 --runs "$runs" -N -n "signed, trusted key" "$work/signed.pkg" |
  grep -E "^Benchmark|Time \(mean"
umount /etc

echo "== sweep: a one-file package in a /tmp of other entries and dead runs"
tmp=$(mktemp -d /tmp/trell-checks-tmp.XXXXXX)
mount --bind "$tmp" /tmp
hyperfine --warmup 3 --runs "$runs" -N -n "empty /tmp" "$work/small.pkg" |
  grep -E "^Benchmark|Time \(mean"
/usr/bin/python3 - <<'EOP'
import os
for i in range(10000):
    open("/tmp/other-%05d" % i, "w").close()
EOP
# Dead runs, as a SIGKILL leaves them: mode 0700, the live mark (unlocked)
# and some files.
cat >"$work/dead.sh" <<'EOS'
#!/bin/sh
for i in $(seq 1 50); do
  d=$(printf '/tmp/portable_install_%08x' $((0x70000000 + i)))
  mkdir -m 700 "$d" && : >"$d/.trell-live" && : >"$d/image.zip" && : >"$d/miniunz" &&
    mkdir "$d/lib" && : >"$d/lib/a" && : >"$d/tool"
done
EOS
chmod 755 "$work/dead.sh"
hyperfine --warmup 3 --runs "$runs" -N -n "10,000 other entries" "$work/small.pkg" |
  grep -E "^Benchmark|Time \(mean"
# (A --prepare would be run before every command of the same hyperfine.)
hyperfine --warmup 3 --runs "$runs" -N -n "10,000 entries and 50 dead runs" \
  --prepare "$work/dead.sh" "$work/small.pkg" |
  grep -E "^Benchmark|Time \(mean"
umount /tmp
rm -rf "$tmp" "$work"
