"""The launcher and pkgtool verify read the package container with one
reader, and judge damage alike: packages changed byte by byte (a flipped
bit), cut short and extended, signed and unsigned.  The launcher (or, for
element 0, whose code would run damaged, trell-run) must refuse before its
tool runs exactly the packages that verify calls faulty.  The differences
are deliberate and listed: the end marker, which the launcher does not
read (in an unsigned package), and the bytes of a local header that decide nothing written (the
version needed to extract, the flags beyond encryption and the data
descriptor, and the time: the zip directory holds them too, and the
launcher checks them there)."""
import os
import struct
import subprocess
import unittest

from e2e_util import RUNNER, SANITIZED, TOOL, E2ETest, build_package, make_zip
from pkg_util import Parts, run_pkgtool
from test_signatures import SigningTest


def local_header_fields(archive, base):
    """File offsets of the local headers' version-needed, upper flags and
    time bytes."""
    out = []
    at = 0
    while archive[at:at + 4] == b"PK\x03\x04":
        out += [base + at + k for k in (4, 5, 7, 10, 11, 12, 13)]
        csize, _, name, extra = struct.unpack_from("<IIHH", archive, at + 18)
        at += 30 + name + extra + csize
    return out


# A sanitized build runs each program several times slower: fewer bytes.
THIN = 6 if SANITIZED else 1


class ContainerAgreement(SigningTest):
    def judge(self, data, name="changed"):
        """(refused by the run, faulty for verify) for a package of data."""
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o755)
        mark = self.path("ran")
        if os.path.exists(mark):
            os.unlink(mark)
        env = dict(self.env, TOOL_MARK=mark)
        # A damaged element 0 is the launcher's own code: trell-run judges
        # such a package with the installed code instead.
        argv = [RUNNER, path] if self.runner else [path]
        subprocess.run(argv + ["-v"], env=env, cwd=self.dir, capture_output=True, timeout=30)
        faulty = run_pkgtool("verify", path).returncode != 0
        return not os.path.exists(mark), faulty

    def disagreements(self, pkg, positions):
        with open(pkg, "rb") as f:
            sound = f.read()
        self.runner = False
        self.assertEqual((False, False), self.judge(sound, "sound"))
        parts = Parts(pkg)
        out = []
        for at in positions:
            data = bytearray(sound)
            data[at] ^= 0x01
            self.runner = at < parts.sizes[0]
            refused, faulty = self.judge(bytes(data))
            if refused != faulty:
                out.append(at)
        self.runner = False
        # Cut short and extended: both refuse.
        for data in (sound[:-1], sound[:-549], sound + b"\0", sound + b"x" * 8):
            self.assertEqual((True, True), self.judge(data))
        return out

    def positions(self, parts, image=1, directory=8, samples=12):
        """Bytes to change: samples of elements 0, 1 and 3, every byte of
        element 2, every image-th of element 4 and directory-th of the
        directory, and every byte from the end marker on."""
        sample = lambda start, size, n: range(start, start + size, max(1, size // n))
        out = list(sample(0, parts.sizes[0], samples))
        out += sample(parts.offset(1), parts.sizes[1], samples)
        out += range(parts.offset(2), parts.offset(3))
        out += sample(parts.offset(3), parts.sizes[3], samples)
        directory_at = parts.end - 549
        out += range(parts.offset(4), directory_at, image)
        out += range(directory_at, parts.end - 1, directory)
        out += range(parts.end - 1, len(parts.data))
        return sorted(set(out))

    def expected(self, parts, signed=False):
        # The end marker of an unsigned package (a signed one's is found by
        # the zeros behind it, which the launcher does check).
        diff = [] if signed else [parts.end - 1]
        base = parts.offset(4)
        for archive in parts.images():
            diff += local_header_fields(archive, base)
            base += len(archive)
        return diff

    def test_unsigned_and_signed_packages_are_judged_alike(self):
        image = make_zip(self.path("small.zip"), {"tool": TOOL, "lib/x": "x" * 40})
        unsigned = build_package(self.path("unsigned"), image)
        parts = Parts(unsigned)
        positions = self.positions(parts, image=THIN, directory=8 * THIN, samples=12 // THIN)
        self.assertEqual(sorted(p for p in self.expected(parts) if p in positions),
                         self.disagreements(unsigned, positions))
        # Signed: the alignment and the signature block are judged too (the
        # rest sampled more thinly).
        signed = self.sign(build_package(self.path("signed"), image), self.pkey)
        parts = Parts(signed)
        positions = self.positions(parts, image=16 * THIN, directory=32 * THIN, samples=6 // THIN)
        self.assertEqual(sorted(p for p in self.expected(parts, signed=True) if p in positions),
                         self.disagreements(signed, positions))


if __name__ == "__main__":
    unittest.main()
