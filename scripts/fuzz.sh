#!/bin/sh
# Fuzzing with libFuzzer: builds the fuzz targets (clang, ASan and UBSan) in
# build-fuzz/ and runs each one for FUZZ_SECONDS (default 30) on a copy of
# its seed corpus in fuzz/corpus/ (the repository's corpus stays as it is).
# Fails when a target finds a fault; the input that shows it is kept as
# build-fuzz/findings/<target>-crash-... (or -leak-, -timeout-, -oom-).
#   scripts/fuzz.sh                        every target, 30 s each (CI)
#   FUZZ_SECONDS=3600 scripts/fuzz.sh      a longer run
#   FUZZ_TARGETS=cmdline_fuzz scripts/fuzz.sh   some targets only
# The targets are what cmake/fuzz.cmake builds (each fuzz/*_fuzz.cc), as it
# lists them in build-fuzz/fuzz_targets.txt.
# Reproduce a finding: build-fuzz/bin/<target> build-fuzz/findings/<file>
# Run as root on Debian: missing packages are installed with apt-get.
set -eu
cd "$(dirname "$0")/.."

scripts/install-packages.sh cmake make g++ clang libclang-rt-14-dev libgtest-dev libzip-dev libdeflate-dev libsodium-dev \
  nlohmann-json3-dev help2man zlib1g-dev

build=build-fuzz
seconds=${FUZZ_SECONDS:-30}

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTRELL_FUZZ=ON -DTRELL_STATIC_LAUNCHER=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j"$(nproc)"

built=$(cat "$build/fuzz_targets.txt")
targets=${FUZZ_TARGETS:-$built}
for t in $targets; do
  case " $(echo $built) " in
  *" $t "*) ;;
  *) echo "fuzz: no target $t; the targets: $(echo $built)" >&2; exit 2 ;;
  esac
done

findings="$build/findings"
mkdir -p "$findings"
failed=""
for t in $targets; do
  work="$build/corpus-run/$t"
  rm -rf "$work"
  mkdir -p "$work"
  cp fuzz/corpus/"$t"/* "$work"/
  # The package reader reports every refused package on standard error:
  # that stream is closed (violations and sanitizer reports still show).
  quiet=""
  if [ "$t" = package_reader_fuzz ]; then quiet="-close_fd_mask=2"; fi
  echo "fuzz: $t for ${seconds}s"
  # shellcheck disable=SC2086
  if "$build/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 $quiet -artifact_prefix="$findings/$t-" "$work" \
      >"$build/$t.log" 2>&1; then
    grep DONE "$build/$t.log" | tail -1 || true
  else
    echo "fuzz: $t FOUND A FAULT (log: $build/$t.log)"
    grep -E "property violated|ERROR:|SUMMARY:|runtime error|Test unit written" \
      "$build/$t.log" | head -20 || true
    failed="$failed $t"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzz: faults found by:$failed"
  exit 1
fi
echo "fuzz: no faults found"
