"""Writes the benchmark payload: a folder of about 30 MB, text and random
data mixed (about 20 MB as a zip), with a tool that exits at once."""
import os
import random
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rng = random.Random(20261208)
words = ("host kernel module device report error warning info memory disk "
         "network service process thread file folder package launcher").split()
for i in range(14):
    with open(os.path.join(out, "log%02d.txt" % i), "w") as f:
        lines = []
        size = 0
        while size < 1024 * 1024:
            line = " ".join(rng.choice(words) for _ in range(12)) + " %d\n" % rng.randrange(10**9)
            lines.append(line)
            size += len(line)
        f.write("".join(lines))
for i in range(17):
    with open(os.path.join(out, "blob%02d.bin" % i), "wb") as f:
        f.write(rng.randbytes(1024 * 1024))
with open(os.path.join(out, "tool"), "w") as f:
    f.write("#!/bin/sh\nexit 0\n")
os.chmod(os.path.join(out, "tool"), 0o755)
