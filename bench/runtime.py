"""Times the runtime-sized payload side by side: the launcher's whole run
against a hand-written script and makeself packages (gzip, zstd), and
tunzip's unpacking against miniunzip's, all into the machine's own /tmp.
The commands take turns, round after round (in a new order each round),
so that a change in the machine's load falls on all of them alike; each
ratio is given as the ratio of the medians and as its range over the
rounds.  Rounds go on to RUNTIME_ROUNDS (3), or while another fits in
RUNTIME_SECONDS (180), and at least two are run.
Every run also gives its peak resident memory (of the largest process of
the run, as GNU time reads it from wait4).  The runs of the first round
give the most space each command took in /tmp: what the tool sees in its
folder at its start, by du (some 40 ms more for those runs), and for
tunzip and miniunzip the folder they filled.
    runtime.py WORK TUNZIP   (WORK as bench/run.sh lays it out)"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

work, tunzip = sys.argv[1], sys.argv[2]
rounds = int(os.environ.get("RUNTIME_ROUNDS", "3"))
budget = float(os.environ.get("RUNTIME_SECONDS", "180"))
# The fast commands run twice a round: their figures vary the most.
FAST_REPEAT = 2

out = tempfile.mkdtemp(prefix="trell-bench-unpacked.", dir="/tmp")
image = os.path.join(work, "image.zip")
COMMANDS = {
    "launcher": ([os.path.join(work, "runtime.pkg")], False),
    "hand-script": ([os.path.join(work, "hand.sh")], False),
    "makeself-gzip": ([os.path.join(work, "runtime-gzip.run"), "--quiet"], False),
    "makeself-zstd": ([os.path.join(work, "runtime-zstd.run"), "--quiet"], False),
    "tunzip": ([tunzip, "-o", image, "-d", out], True),
    "miniunzip": (["miniunzip", "-o", image, "-d", out], True),
}
FAST = ("launcher", "tunzip")
env = dict(os.environ, TRELL_PORTABLE_INTERACTIVE="")


def fresh_target():
    shutil.rmtree(out, ignore_errors=True)
    os.mkdir(out)


def run(name, space=False):
    """One run: its time in seconds, its peak resident memory in KiB and, when
    space is set, the most it took in /tmp in KiB (else None)."""
    argv, unpacks = COMMANDS[name]
    if unpacks:
        fresh_target()
    # The last run's writes go to disk first, not into this run's time; and
    # an ext4 without a journal then takes the inodes freed by the last runs
    # as recent for one minute instead of six (it skips them when it makes
    # files, at a cost that grows with their number).
    os.sync()
    with tempfile.TemporaryDirectory(dir=work) as d:
        rss, used = os.path.join(d, "rss"), os.path.join(d, "space")
        extra = {"BENCH_SPACE": used} if space and not unpacks else {}
        start = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss, *argv],
                           env=dict(env, **extra), cwd="/tmp", stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        elapsed = time.perf_counter() - start
        if r.returncode != 0:
            sys.exit("%s failed (%d): %s" % (name, r.returncode, r.stderr))
        peak = int(open(rss).read().split()[-1])
        if not space:
            return elapsed, peak, None
        if unpacks:
            return elapsed, peak, int(subprocess.run(["du", "-sk", out], capture_output=True,
                                                     text=True, check=True).stdout.split()[0])
        return elapsed, peak, int(open(used).read())


def main():
    times = {name: [] for name in COMMANDS}
    rss = {name: 0 for name in COMMANDS}
    space = {}
    per_round = []
    order = list(COMMANDS)
    started = time.monotonic()
    for k in range(rounds):
        if k >= 2 and (time.monotonic() - started) * (k + 1) / k > budget:
            break
        this = {}
        for name in order[k % len(order):] + order[:k % len(order)]:
            for _ in range(FAST_REPEAT if name in FAST else 1):
                t, peak, used = run(name, space=name not in space)
                times[name].append(t)
                this.setdefault(name, []).append(t)
                rss[name] = max(rss[name], peak)
                if used is not None:
                    space[name] = used
        per_round.append({n: statistics.median(v) for n, v in this.items()})
        print("  round %d done, %.0f s" % (k + 1, time.monotonic() - started), file=sys.stderr)
    rounds_run = len(per_round)

    median = {n: statistics.median(v) for n, v in times.items()}
    print("%-15s %8s %8s %8s %7s %11s %11s" % ("", "median", "min", "max", "runs",
                                              "peak RSS", "peak /tmp"))
    for n in COMMANDS:
        print("%-15s %7.2fs %7.2fs %7.2fs %7d %8.1f MB %8.1f MB"
              % (n, median[n], min(times[n]), max(times[n]), len(times[n]),
                 rss[n] * 1024 / 1e6, space[n] * 1024 / 1e6))
    print("ratios of the medians (range over the %d rounds):" % rounds_run)
    for a, b in (("launcher", "hand-script"), ("launcher", "makeself-gzip"),
                 ("launcher", "makeself-zstd"), ("tunzip", "miniunzip"),
                 ("launcher", "tunzip")):
        spread = [r[a] / r[b] for r in per_round]
        print("  %-28s %5.2f  (%.2f to %.2f)" % (a + " / " + b, median[a] / median[b],
                                                min(spread), max(spread)))
    with open(os.path.join(work, "result.json"), "w") as f:
        json.dump({"times": times, "peak_rss_kib": rss, "peak_tmp_kib": space}, f, indent=1)


try:
    main()
finally:
    shutil.rmtree(out, ignore_errors=True)
