"""Writes the runtime-sized benchmark payload, the same bytes for the same
seed: like a language runtime or a JDK, about 12,000 small files in 300
folders (about 130 MB: source-like text, and binary data that compresses
about as well as shared libraries do) and one 100 MB file, with a tool at
the top that exits at once.  When BENCH_SPACE names a file, the tool writes
there the space its folder takes (du -sk), so that a run can tell the most
it put in /tmp.
    make_runtime.py FOLDER [SEED]"""
import os
import random
import sys

FOLDERS = 300
FILES = 12000
SMALL_BYTES = 130 * 10**6
BIG_BYTES = 100 * 10**6

TOOL = """#!/bin/sh
[ -n "$BENCH_SPACE" ] && du -sk . | cut -f1 > "$BENCH_SPACE"
exit 0
"""


def text_lines(rng, count):
    words = ("def class return import self value index buffer thread module error "
             "static final public private void int long string list map key node "
             "result status length offset count path name file folder system").split()
    return [("    " * rng.randrange(4) + " ".join(rng.choices(words, k=rng.randrange(3, 12)))
             + " # %d\n" % rng.randrange(10**6)).encode() for _ in range(count)]


def binary_block(rng, size, pieces):
    """Random bytes, zero runs and repeats of a few pieces, which deflate to
    about half."""
    out = bytearray()
    while len(out) < size:
        kind = rng.random()
        n = rng.randrange(64, 4096)
        if kind < 0.3:
            out += rng.randbytes(n)
        elif kind < 0.65:
            out += bytes(n)
        else:
            out += rng.choice(pieces)
    return bytes(out[:size])


def main():
    out = sys.argv[1]
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 20261209)
    lines = text_lines(rng, 4000)
    # Few enough that repeats fall within deflate's 32 KB window.
    pieces = [rng.randbytes(rng.randrange(64, 2048)) for _ in range(16)]
    folders = []
    for i in range(FOLDERS):
        # Two or three levels, as a runtime's library tree has.
        parent = "lib/pkg%02d" % (i % 40)
        folders.append(parent if i < 40 else "%s/mod%03d" % (parent, i))
    # Sizes from a long-tailed distribution, scaled to the total.
    raw = [rng.lognormvariate(0, 1.2) for _ in range(FILES)]
    scale = SMALL_BYTES / sum(raw)
    for i, r in enumerate(raw):
        folder = os.path.join(out, folders[i % FOLDERS])
        os.makedirs(folder, exist_ok=True)
        size = max(1, int(r * scale))
        if i % 2 == 0:
            data = b"".join(rng.choices(lines, k=size // 40 + 1))[:size]
            name = "f%05d.py" % i
        else:
            data = binary_block(rng, size, pieces)
            name = "f%05d.so" % i
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    with open(os.path.join(out, "lib", "libruntime.so"), "wb") as f:
        for _ in range(BIG_BYTES // (1 << 20)):
            f.write(binary_block(rng, 1 << 20, pieces))
        f.write(binary_block(rng, BIG_BYTES % (1 << 20), pieces))
    tool = os.path.join(out, "tool")
    with open(tool, "w") as f:
        f.write(TOOL)
    os.chmod(tool, 0o755)


if __name__ == "__main__":
    main()
