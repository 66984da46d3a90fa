"""Helpers for the package makers' tests of pkgtool: image folders, the
parts of a built package, and damage done to them on purpose."""
import io
import os
import shutil
import struct
import subprocess
import zipfile

from e2e_util import LAUNCHER, PKGTOOL, UNZIP

DIR_SIZE = 548
TRAILER = DIR_SIZE + 1


def write_tree(root, files, mtime=None, order=None):
    """Creates the folder root with files (name -> text or bytes; a name
    ending in '/' is a folder), in the given order of names, each file
    dated mtime when given.  Executable when the text starts with '#!'."""
    os.makedirs(root, exist_ok=True)
    for name in order or list(files):
        content = files[name]
        path = os.path.join(root, name)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(content, str):
            content = content.encode()
        with open(path, "wb") as f:
            f.write(content)
        if content.startswith(b"#!"):
            os.chmod(path, os.stat(path).st_mode | 0o100)
    if mtime is not None:
        for dirpath, dirnames, filenames in os.walk(root):
            for n in dirnames + filenames:
                os.utime(os.path.join(dirpath, n), (mtime, mtime))
        os.utime(root, (mtime, mtime))
    return root


def read_tree(root):
    """name -> bytes for every file below root, '' -> None for folders."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            out[os.path.normpath(os.path.join(rel, d)) + "/"] = None
        for n in filenames:
            with open(os.path.join(dirpath, n), "rb") as f:
                out[os.path.normpath(os.path.join(rel, n))] = f.read()
    return out


def run_pkgtool(*args, env=None, cwd=None, umask=None, user=None, program=PKGTOOL):
    """Runs pkgtool (or the copy program names); umask sets the process's
    umask, user (a uid) runs it as that user (through setpriv, for root's
    tests of permissions)."""
    argv = [program, *args]
    if user is not None:
        argv = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", *argv]
    e = dict(os.environ)
    e.pop("SOURCE_DATE_EPOCH", None)
    e.update(env or {})

    def preexec():
        if umask is not None:
            os.umask(umask)

    return subprocess.run(argv, capture_output=True, text=True, env=e, cwd=cwd,
                          preexec_fn=preexec)


def build_args(out, image, records=None, pair=None, extra=()):
    args = ["build", "-o", out, "--stub", LAUNCHER, "--unzip", UNZIP, *extra]
    for r in records or [("redhat", "5", "x86-64", "0", "./tool", "")]:
        args += ["--record", *r]
    args += ["--image-pair", *pair] if pair else ["--image", image]
    return args


class Parts:
    """A package split into its elements and directory, for reading and for
    writing back damaged."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        # A signed package's signature block (and the zeros that align it)
        # follows its end marker.
        self.end = len(self.data)
        if self.data[-8:] == b"TRSIGEND":
            self.end -= struct.unpack("<I", self.data[-16:-12])[0]
            while self.data[self.end - 1] == 0:
                self.end -= 1
        self.directory = list(struct.unpack("<137i", self.data[self.end - TRAILER:self.end - 1]))
        self.sizes = self.directory[:5]

    def offset(self, index):
        return sum(self.sizes[:index])

    def element(self, index):
        o = self.offset(index)
        return bytes(self.data[o:o + self.sizes[index]])

    def images(self):
        """The archives of element 4: one, or the two of a pair."""
        image = self.element(4)
        first, second = self.directory[70], self.directory[136]
        if first and second and first + second == len(image):
            return [image[:first], image[first:]]
        return [image]

    def entry_data_offset(self, name, archive=0):
        """File offset of the first data byte of an image entry."""
        base = self.offset(4) + sum(len(a) for a in self.images()[:archive])
        z = zipfile.ZipFile(io.BytesIO(self.images()[archive]))
        info = z.getinfo(name)
        h = base + info.header_offset
        n, e = struct.unpack("<HH", self.data[h + 26:h + 30])
        return h + 30 + n + e

    def write(self, path, data=None):
        with open(path, "wb") as f:
            f.write(self.data if data is None else data)
        os.chmod(path, 0o755)
        return path


def zip_bytes(entries, method=zipfile.ZIP_DEFLATED):
    """A zip in memory: entries maps a name to its content."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, content in entries.items():
            z.writestr(name, content)
    return buf.getvalue()


def copy_launcher_and_unzip():
    """The two executables a package starts with, as bytes."""
    with open(LAUNCHER, "rb") as f:
        launcher = f.read()
    with open(UNZIP, "rb") as f:
        unzip = f.read()
    return launcher, unzip


HOST_NEEDS = " is dynamically linked and needs from the host: "


def without_host_needs(stderr):
    """pkgtool's standard error less its warnings that an executable of the
    package is dynamic (Debian's miniunzip, or a sanitized launcher)."""
    return "".join(l for l in stderr.splitlines(True) if HOST_NEEDS not in l)
