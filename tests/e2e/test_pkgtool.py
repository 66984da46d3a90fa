"""pkgtool build and info: what it writes runs, what it refuses it says, and
a refused build never leaves a half-written package."""
import os
import struct
import unittest

from e2e_util import E2ETest, LAUNCHER, UNZIP, make_zip, pkgtool, read_trailer


class Build(E2ETest):
    def build(self, *extra, out=None, records=None, image=None):
        out = out or self.path("out.pkg")
        args = ["build", "-o", out, "--stub", LAUNCHER]
        for r in records or [("redhat", "5", "x86-64", "0", "./tool", "")]:
            args += ["--record", *r]
        args += list(extra) if extra else ["--image", image or self.image]
        return pkgtool(*args, check=False), out

    def test_layout(self):
        r, out = self.build("--strict", "--image", self.image,
                            records=[("suse", "10", "x86", "1", "./tool", "-a"),
                                     ("3", "-1", "2", "2", "./t2", "")])
        self.assertEqual(0, r.returncode, r.stderr)
        data, d = read_trailer(out)
        sizes = d[:5]
        self.assertEqual(os.path.getsize(LAUNCHER), sizes[0])
        self.assertEqual(os.path.getsize(UNZIP), sizes[1])
        self.assertEqual([8, 800, os.path.getsize(self.image)], sizes[2:])
        self.assertEqual(len(data), sum(sizes) + 549)
        self.assertEqual(0xFF, data[-1])
        self.assertEqual([0, 0], [d[70], d[136]])
        self.assertEqual(data[:sizes[0]], open(LAUNCHER, "rb").read())
        gi = sum(sizes[:2])
        self.assertEqual((2, 1), struct.unpack("<ii", data[gi:gi + 8]))
        rec = data[gi + 8:gi + 408]
        dist, rel, arch, cmd, args, mode = struct.unpack("<iii128s256si", rec)
        self.assertEqual((2, 10, 1, 1), (dist, rel, arch, mode))
        self.assertEqual(b"./tool" + b"\0" * 122, cmd)
        self.assertEqual(b"-a" + b"\0" * 254, args)
        self.assertTrue(os.access(out, os.X_OK))

    def test_image_pair_and_info(self):
        other = make_zip(self.path("other.zip"), {"tool": "#!/bin/sh\necho other\n"})
        r, out = self.build("--image-pair", self.image, other)
        self.assertEqual(0, r.returncode, r.stderr)
        data, d = read_trailer(out)
        self.assertEqual([os.path.getsize(self.image), os.path.getsize(other)], [d[70], d[136]])
        self.assertEqual(d[4], d[70] + d[136])
        info = pkgtool("info", out).stdout
        self.assertIn("image pair", info)
        self.assertIn("Record 1: distribution Red Hat (3), release 5, architecture x86-64 (2)",
                      info)
        self.assertIn("command:   ./tool", info)
        self.assertIn("element 4 image", info)

    def test_bad_input_is_refused_without_output(self):
        cases = [
            ({"records": [("redhat", "5", "x86-64", "0", "tool", "")]}, 'does not begin with "./"'),
            ({"records": [("redhat", "5", "x86-64", "0", "./" + "t" * 126, "")]}, "at most 127"),
            ({"records": [("redhat", "5", "x86-64", "0", "./t", "a" * 256)]}, "at most 255"),
            ({"records": [("arch", "5", "x86-64", "0", "./t", "")]}, "unknown distribution"),
            ({"records": [("7", "5", "x86-64", "0", "./t", "")]}, "unknown distribution"),
            ({"records": [("redhat", "5", "sparc", "0", "./t", "")]}, "unknown architecture"),
            ({"records": [("redhat", "5", "6", "0", "./t", "")]}, "unknown architecture"),
            ({"records": [("redhat", "5", "0", "0", "./t", "")]}, "unknown architecture"),
            ({"records": [("redhat", "five", "x86", "0", "./t", "")]}, "not a number"),
            ({"records": [("redhat", "5", "x86", "3", "./t", "")]}, "not 0, 1 or 2"),
            ({"image": self.path("missing.zip")}, "cannot read the image"),
            ({"image": LAUNCHER}, "not a zip archive"),
        ]
        # An existing output stays as it was.
        with open(self.path("out.pkg"), "w") as f:
            f.write("previous")
        for kwargs, message in cases:
            with self.subTest(message=message):
                r, out = self.build(**kwargs)
                self.assertNotEqual(0, r.returncode)
                self.assertIn(message, r.stderr)
                with open(out) as f:
                    self.assertEqual("previous", f.read())
        self.assertEqual(["out.pkg"], [n for n in os.listdir(self.dir) if n.startswith("out")])
        # Fits exactly: 127 and 255 bytes.
        r, out = self.build(records=[("redhat", "5", "x86", "0", "./" + "t" * 125, "a" * 255)])
        self.assertEqual(0, r.returncode, r.stderr)
        r, _ = self.build(out=self.path("nodir", "x.pkg"))
        self.assertNotEqual(0, r.returncode)
        self.assertIn("cannot write", r.stderr)

    def test_info_on_files_that_are_no_package(self):
        with open(self.path("tiny"), "wb") as f:
            f.write(b"abc")
        r = pkgtool("info", self.path("tiny"), check=False)
        self.assertEqual(1, r.returncode)
        self.assertIn("fewer than the 549", r.stderr)
        r = pkgtool("info", LAUNCHER, check=False)
        self.assertEqual(1, r.returncode)
        self.assertIn("not a package", r.stderr)
        data = open(self.pkg, "rb").read()
        with open(self.path("cut"), "wb") as f:
            f.write(data[:1000] + data[-549:])
        r = pkgtool("info", self.path("cut"), check=False)
        self.assertEqual(1, r.returncode)
        self.assertIn("bytes before the directory", r.stderr)
        r = pkgtool("info", self.path("missing"), check=False)
        self.assertIn("cannot open", r.stderr)
        r = pkgtool("info", self.pkg)
        self.assertIn("Global info: 1 record(s), strict 0", r.stdout)


if __name__ == "__main__":
    unittest.main()
