"""Runs a command and prints its wall time, its peak resident memory (the
kernel's count, which includes mapped file pages) and its peak private
memory (RssAnon, polled every 5 ms; through an exec'ing shell too).
    python3 bench/peak_memory.py COMMAND [ARGS...]"""
import resource
import subprocess
import sys
import time


def anonymous_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


start = time.monotonic()
child = subprocess.Popen(sys.argv[1:])
peak = 0
while child.poll() is None:
    peak = max(peak, anonymous_kb(child.pid))
    time.sleep(0.005)
elapsed = time.monotonic() - start
resident = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print("    %.2f s, %d KB peak resident, %d KB peak private" % (elapsed, resident, peak))
sys.exit(child.returncode)
