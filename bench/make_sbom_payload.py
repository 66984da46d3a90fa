"""Writes the bill-of-materials benchmark's payload: FILES files of random
bytes (which no zip makes smaller) in 500 folders, BYTES bytes in all, of
sizes spread around their mean, with a tool at the top.
    python3 bench/make_sbom_payload.py OUT [FILES [BYTES]]"""
import os
import random
import sys

out = sys.argv[1]
files = int(sys.argv[2]) if len(sys.argv) > 2 else 50000
total = int(sys.argv[3]) if len(sys.argv) > 3 else 1 << 30
rng = random.Random(20261210)
mean = total // files
os.makedirs(out, exist_ok=True)
with open(os.path.join(out, "tool"), "w") as f:
    f.write("#!/bin/sh\nexit 0\n")
os.chmod(os.path.join(out, "tool"), 0o755)
left = total
for i in range(files - 1):
    size = min(left, rng.randint(0, 2 * mean))
    folder = os.path.join(out, "d%03d" % (i % 500))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(rng.randbytes(size))
    left -= size
