#!/bin/sh
# Benchmark: one run of a package with a 20 MB zip image (about 30 MB
# unpacked), against a hand-written script doing the same work (mktemp -d,
# cp of the zip, miniunzip, run the tool, rm -rf) and against a makeself
# package of the same payload, measured side by side by hyperfine.
# Prints both ratios and the launcher's stripped size.
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh hyperfine makeself zip
[ -x build/bin/launcher ] || scripts/setup.sh
work=build/bench
rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 bench/make_payload.py "$work/payload"
(cd "$work/payload" && zip -q -X -r ../image.zip .)
build/bin/pkgtool build -o "$work/bench.pkg" \
  --record redhat 5 x86-64 0 ./tool "" --image "$work/image.zip"
makeself --quiet --gzip --nox11 --nowait --noprogress "$work/payload" "$work/bench.run" \
  "bench" ./tool >/dev/null
cat > "$work/hand.sh" <<EOS
#!/bin/sh
d=\$(mktemp -d) || exit 1
cp "$PWD/$work/image.zip" "\$d/image.zip" && cd "\$d" &&
  miniunzip -o image.zip >/dev/null && chmod 777 * && ./tool
s=\$?
cd / && rm -rf "\$d"
exit \$s
EOS
chmod +x "$work/hand.sh"
export TRELL_PORTABLE_INTERACTIVE=
ls -l "$work/image.zip"
hyperfine --warmup 3 --runs ${RUNS:-15} --export-json "$work/result.json" \
  -n launcher "$work/bench.pkg >/dev/null" \
  -n hand-script "$work/hand.sh" \
  -n makeself "$work/bench.run --quiet >/dev/null"
/usr/bin/python3 - "$work/result.json" build/bin/launcher <<'EOP'
import json, os, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
hand = r["hand-script"]
print("launcher / hand script: %.3f (goal: at most 1.10)" % (r["launcher"] / hand))
print("makeself / hand script: %.3f" % (r["makeself"] / hand))
print("launcher stripped size: %d bytes" % os.path.getsize(sys.argv[2]))
EOP
