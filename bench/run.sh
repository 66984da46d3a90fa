#!/bin/sh
# Benchmark, measured side by side by hyperfine in one run, on a package
# with a 20 MB zip image (about 30 MB unpacked):
#   - unpacking: tunzip against Debian's miniunzip, the same image into the
#     same file system (/tmp, where the launcher unpacks);
#   - a whole run: the launcher (with tunzip, the default unzip utility)
#     against a hand-written script doing the same work with miniunzip
#     (mktemp -d, cp of the zip, miniunzip, run the tool, rm -rf), and a
#     makeself package of the same payload.
# Prints the ratios and the stripped sizes of the launcher and tunzip.
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh hyperfine makeself zip minizip
[ -x build/bin/launcher ] && [ -x build/bin/tunzip ] || scripts/setup.sh
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
# The unpacking target, emptied before each timed run (not timed).
unpacked=$(mktemp -d /tmp/trell-bench.XXXXXX)
trap 'rm -rf "$unpacked"' EXIT
fresh="rm -rf $unpacked/u && mkdir $unpacked/u"
export TRELL_PORTABLE_INTERACTIVE=
ls -l "$work/image.zip"
hyperfine --warmup 3 --runs "${RUNS:-15}" --export-json "$work/result.json" \
  -n tunzip --prepare "$fresh" "build/bin/tunzip -o $work/image.zip -d $unpacked/u" \
  -n miniunzip --prepare "$fresh" "miniunzip -o $work/image.zip -d $unpacked/u >/dev/null" \
  -n launcher --prepare true "$work/bench.pkg >/dev/null" \
  -n hand-script --prepare true "$work/hand.sh" \
  -n makeself --prepare true "$work/bench.run --quiet >/dev/null"
/usr/bin/python3 - "$work/result.json" build/bin/launcher build/bin/tunzip <<'EOP'
import json, os, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
hand = r["hand-script"]
print("tunzip / miniunzip unpacking: %.3f (goal: at most 0.60)" % (r["tunzip"] / r["miniunzip"]))
print("launcher / hand script:       %.3f (goal: at most 0.70)" % (r["launcher"] / hand))
print("makeself / hand script:       %.3f" % (r["makeself"] / hand))
print("launcher stripped size: %d bytes" % os.path.getsize(sys.argv[2]))
print("tunzip stripped size:   %d bytes" % os.path.getsize(sys.argv[3]))
EOP
