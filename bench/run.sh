#!/bin/sh
# Benchmarks, each measured side by side in one run, unpacking into the
# machine's own /tmp:
#   small    a package with a 20 MB zip image (about 30 MB unpacked), timed
#            by hyperfine: tunzip against Debian's miniunzip (the same image
#            into the same file system); the launcher's whole run (with
#            tunzip) against tunzip alone, against a hand-written script
#            doing the same work with miniunzip (mktemp -d, cp of the zip,
#            miniunzip, run the tool, rm -rf), and a makeself package;
#   runtime  a runtime-sized payload made by bench/make_runtime.py (about
#            12,000 files in 300 folders, 130 MB of them and a 100 MB file):
#            the launcher against the hand-written script and makeself
#            packages with gzip and with zstd, tunzip against miniunzip,
#            with each one's peak resident memory and space in /tmp
#            (bench/runtime.py).
# Prints the ratios and the stripped sizes of the launcher and tunzip.
#   bench/run.sh                  both
#   BENCH=small bench/run.sh      one (RUNS=15 hyperfine runs; for the
#   BENCH=runtime bench/run.sh    runtime payload RUNTIME_ROUNDS=3 rounds,
#                                 fewer where they would not fit in
#                                 RUNTIME_SECONDS=180, at least two)
#   BENCH_TMP=tmpfs ...           the runtime payload with a tmpfs as /tmp
#                                 (a private mount namespace; root)
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh hyperfine makeself zip minizip zstd time
[ -x build/bin/launcher ] && [ -x build/bin/tunzip ] || scripts/setup.sh
export TRELL_PORTABLE_INTERACTIVE=
which=${BENCH:-all}

# hand_script SCRIPT ZIP: what one would write by hand for the same run.
hand_script() {
  cat > "$1" <<EOS
#!/bin/sh
d=\$(mktemp -d) || exit 1
cp "$2" "\$d/image.zip" && cd "\$d" &&
  miniunzip -o image.zip >/dev/null && chmod 777 * && ./tool
s=\$?
cd / && rm -rf "\$d"
exit \$s
EOS
  chmod +x "$1"
}

if [ "$which" != runtime ]; then
  work=build/bench
  rm -rf "$work"
  mkdir -p "$work"
  /usr/bin/python3 bench/make_payload.py "$work/payload"
  (cd "$work/payload" && zip -q -X -r ../image.zip .)
  build/bin/pkgtool build -o "$work/bench.pkg" \
    --record redhat 5 x86-64 0 ./tool "" --image "$work/image.zip"
  makeself --quiet --gzip --nox11 --nowait --noprogress "$work/payload" "$work/bench.run" \
    "bench" ./tool >/dev/null
  hand_script "$work/hand.sh" "$PWD/$work/image.zip"
  # The unpacking target, emptied before each timed run (not timed).
  unpacked=$(mktemp -d /tmp/trell-bench.XXXXXX)
  trap 'rm -rf "$unpacked"' EXIT
  fresh="rm -rf $unpacked/u && mkdir $unpacked/u"
  ls -l "$work/image.zip"
  hyperfine --warmup 3 --runs "${RUNS:-15}" --export-json "$work/result.json" \
    -n tunzip --prepare "$fresh" "build/bin/tunzip -o $work/image.zip -d $unpacked/u" \
    -n miniunzip --prepare "$fresh" "miniunzip -o $work/image.zip -d $unpacked/u >/dev/null" \
    -n launcher --prepare true "$work/bench.pkg >/dev/null" \
    -n hand-script --prepare true "$work/hand.sh" \
    -n makeself --prepare true "$work/bench.run --quiet >/dev/null"
  /usr/bin/python3 - "$work/result.json" <<'EOP'
import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
hand = r["hand-script"]
print("tunzip / miniunzip unpacking: %.3f (goal: at most 0.60)" % (r["tunzip"] / r["miniunzip"]))
print("launcher / hand script:       %.3f (goal: at most 0.70)" % (r["launcher"] / hand))
print("launcher / tunzip alone:      %.3f (goal: at most 1.5)" % (r["launcher"] / r["tunzip"]))
print("makeself / hand script:       %.3f" % (r["makeself"] / hand))
EOP
fi

if [ "$which" != small ]; then
  # The payload and the packages made from it alone are kept while the
  # generator stays the same; the launcher's package is made anew, as the
  # stubs may have changed.
  rt=$PWD/build/bench-runtime
  stamp=$(sha256sum bench/make_runtime.py | cut -d' ' -f1)
  if [ "$(cat "$rt/stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$rt"
    mkdir -p "$rt"
    echo "making the runtime payload in $rt"
    /usr/bin/python3 bench/make_runtime.py "$rt/payload"
    (cd "$rt/payload" && zip -q -X -r ../image.zip .)
    for c in gzip zstd; do
      makeself --quiet --$c --nox11 --nowait --noprogress "$rt/payload" "$rt/runtime-$c.run" \
        runtime ./tool >/dev/null
    done
    echo "$stamp" > "$rt/stamp"
  fi
  build/bin/pkgtool build -o "$rt/runtime.pkg" \
    --record redhat 5 x86-64 0 ./tool "" --image "$rt/image.zip"
  hand_script "$rt/hand.sh" "$rt/image.zip"
  echo "runtime payload: $(find "$rt/payload" -type f | wc -l) files in" \
    "$(find "$rt/payload" -mindepth 1 -type d | wc -l) folders," \
    "$(du -s --apparent-size --block-size=1000000 "$rt/payload" | cut -f1) MB;" \
    "zip $(($(stat -c %s "$rt/image.zip") / 1000000)) MB," \
    "makeself gzip $(($(stat -c %s "$rt/runtime-gzip.run") / 1000000)) MB," \
    "zstd $(($(stat -c %s "$rt/runtime-zstd.run") / 1000000)) MB"
  if [ "${BENCH_TMP:-}" = tmpfs ]; then
    # For figures without the host's file system: a tmpfs over /tmp, in a
    # private mount namespace.
    unshare -m --propagation private sh -c 'mount -t tmpfs -o size=2g benchtmp /tmp &&
      exec /usr/bin/python3 bench/runtime.py "$@"' runtime "$rt" "$PWD/build/bin/tunzip"
  else
    /usr/bin/python3 bench/runtime.py "$rt" "$PWD/build/bin/tunzip"
  fi
fi
echo "launcher stripped size: $(stat -c %s build/bin/launcher) bytes"
echo "tunzip stripped size:   $(stat -c %s build/bin/tunzip) bytes"
