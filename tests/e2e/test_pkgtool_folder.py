"""pkgtool build from a folder: the zip it writes unpacks with the real
miniunzip and runs with the real launcher, the same inputs give the same
bytes, and bad input is refused in one line without an output file."""
import io
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile

from e2e_util import LAUNCHER, MINIUNZIP, PKGTOOL, TOOL, UNZIP, E2ETest, make_zip, tool_args
from pkg_util import (Parts, build_args, read_tree, run_pkgtool, without_host_needs,
                      write_tree)

FILES = {
    "tool": TOOL,
    "lib/helper.sh": "#!/bin/sh\necho helper\n",
    "lib/deep/data.bin": bytes(range(256)) * 600,
    "docs/read me.txt": "hello\n",
    "empty/": None,
    "odd $(name);'\"": "odd\n",
}


class FolderRoundTrip(E2ETest):
    def setUp(self):
        super().setUp()
        self.folder = write_tree(self.path("src"), FILES)

    def build(self, *args, **kw):
        return run_pkgtool(*args, **kw)

    def test_build_list_unpack_run(self):
        out = self.path("f.pkg")
        r = self.build(*build_args(out, self.folder))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("", without_host_needs(r.stderr))
        self.assertEqual(0, self.build("verify", out).returncode)

        # list: every file and folder, with its size.
        r = self.build("list", out)
        self.assertEqual(0, r.returncode, r.stderr)
        listed = {}
        for line in r.stdout.splitlines()[1:]:
            size, name = line.split(None, 1)
            listed[name] = int(size)
        expected = {n: (0 if c is None else len(c.encode() if isinstance(c, str) else c))
                    for n, c in FILES.items()}
        expected.update({"lib/": 0, "lib/deep/": 0, "docs/": 0})
        self.assertEqual(expected, listed)

        # The image as the real miniunzip unpacks it, as pkgtool unpack does,
        # and as the launcher's --extract does: the folder's content.
        source = read_tree(self.folder)
        image = Parts(out).images()[0]
        with open(self.path("image.zip"), "wb") as f:
            f.write(image)
        os.mkdir(self.path("mz"))
        m = subprocess.run([MINIUNZIP, "-o", self.path("image.zip")], cwd=self.path("mz"),
                           capture_output=True)
        self.assertEqual(0, m.returncode, m.stderr)
        self.assertEqual(source, read_tree(self.path("mz")))
        r = self.build("unpack", out, self.path("un"))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(source, read_tree(self.path("un")))
        self.assertTrue(os.access(self.path("un", "lib", "helper.sh"), os.X_OK))
        self.assertEqual(0, os.stat(self.path("un", "docs", "read me.txt")).st_mode & 0o111)
        r = self.run_pkg(["--extract", self.path("ex")], pkg=out)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(source, read_tree(self.path("ex")))

        # And the launcher runs the tool from it.
        r = self.run_pkg(["-v", "x y"], pkg=out)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(["-v", "x y"], tool_args(r.stdout))
        self.assertWorkDirGone(r.stdout)

    def test_image_pair_of_folders(self):
        x86 = write_tree(self.path("x86"), {"tool": TOOL, "which": "first\n"})
        x64 = write_tree(self.path("x64"), {"tool": TOOL, "which": "second\n", "more/": None})
        out = self.path("pair.pkg")
        r = self.build(*build_args(out, None, pair=(x86, x64)))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(0, self.build("verify", out).returncode)
        p = Parts(out)
        self.assertEqual(2, len(p.images()))
        listing = self.build("list", out).stdout
        self.assertIn("x86 image: 2 entries", listing)
        self.assertIn("x86-64 image: 3 entries", listing)
        self.assertEqual("x86-64 image: 3 entries",
                         self.build("list", out, "--arch", "x86-64").stdout.splitlines()[0])
        for arch, text in (("x86", b"first\n"), ("x86-64", b"second\n"), ("2", b"second\n")):
            with self.subTest(arch=arch):
                r = self.build("unpack", out, self.path("u-" + arch), "--arch", arch)
                self.assertEqual(0, r.returncode, r.stderr)
                with open(self.path("u-" + arch, "which"), "rb") as f:
                    self.assertEqual(text, f.read())
        r = self.build("unpack", out, self.path("u-none"))
        self.assertEqual(2, r.returncode)
        self.assertIn("give --arch x86 or --arch x86-64", r.stderr)
        r = self.build("unpack", out, self.path("u-ppc"), "--arch", "ppc")
        self.assertEqual(1, r.returncode)
        self.assertIn("no image for PPC", r.stderr)
        self.assertFalse(os.path.exists(self.path("u-none")))
        self.assertFalse(os.path.exists(self.path("u-ppc")))

    def test_command_warnings(self):
        records = [("redhat", "5", "x86-64", "0", "./lib/helper.sh", ""),
                   ("redhat", "6", "x86-64", "0", "./missing", ""),
                   ("redhat", "7", "x86-64", "0", "./lib", ""),
                   ("redhat", "8", "x86-64", "0", "./tool --flag", ""),
                   ("redhat", "9", "x86-64", "0", "./../tool", "")]
        out = self.path("w.pkg")
        r = self.build(*build_args(out, self.folder, records=records))
        self.assertEqual(0, r.returncode, r.stderr)
        lines = without_host_needs(r.stderr).splitlines()
        self.assertEqual(4, len(lines), r.stderr)
        self.assertTrue(all(l.startswith("pkgtool: warning: record ") for l in lines), lines)
        self.assertIn("record 1: command './lib/helper.sh' lies below the folder 'lib/'", lines[0])
        self.assertIn("record 2: command './missing' names no file in the image", lines[1])
        self.assertIn("record 3: command './lib' names a folder", lines[2])
        self.assertIn("record 5: command './../tool' leaves the image", lines[3])
        # verify fails the commands that name no file of the image, and
        # warns of the one below a folder.
        v = self.build("verify", out)
        self.assertEqual(1, v.returncode, v.stderr)
        self.assertEqual(1, v.stderr.count("warning: record "))
        self.assertIn("warning: record 1: command './lib/helper.sh' lies below", v.stderr)
        for n, text in ((2, "command './missing' names no file in the image"),
                        (3, "command './lib' names a folder of the image, not a file"),
                        (5, "command './../tool' leaves the image")):
            self.assertIn("pkgtool: %s: record %d: %s\n" % (out, n, text), v.stderr)
        # The warning is true for Debian's miniunzip: the launcher's
        # "chmod 777 *" does not reach lib/, miniunzip sets no modes, so the
        # shell cannot run the helper.  tunzip keeps the owner-execute bit.
        r = self.run_pkg([], pkg=out)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        mini = self.path("mini.pkg")
        r = self.build(*build_args(mini, self.folder, records=records,
                                   extra=("--unzip", MINIUNZIP)))
        self.assertEqual(0, r.returncode, r.stderr)
        r = self.run_pkg([], pkg=mini)
        self.assertEqual(126, r.returncode, r.stdout + r.stderr)
        self.assertIn("Permission denied", r.stderr)


class Reproducible(E2ETest):
    ORDER = list(FILES)

    def tree(self, name, umask, mtime, order):
        old = os.umask(umask)
        try:
            return write_tree(self.path(name), FILES, mtime=mtime, order=order)
        finally:
            os.umask(old)

    def test_same_inputs_same_bytes(self):
        # Two copies of one folder: made under different umasks, in a
        # different order, with different times; built under different
        # umasks, time zones and current directories.
        a = self.tree("a", 0o022, time.time() - 86400 * 400, self.ORDER)
        b = self.tree("b", 0o077, 1234567891, list(reversed(self.ORDER)))
        self.assertNotEqual(os.stat(os.path.join(a, "tool")).st_mode,
                            os.stat(os.path.join(b, "tool")).st_mode)
        r1 = run_pkgtool(*build_args(self.path("1.pkg"), a), umask=0o022,
                         env={"TZ": "UTC"})
        os.mkdir(self.path("elsewhere"))
        r2 = run_pkgtool(*build_args("../2.pkg", "../b/"), umask=0o077,
                         env={"TZ": "Asia/Tokyo"}, cwd=self.path("elsewhere"))
        self.assertEqual(0, r1.returncode, r1.stderr)
        self.assertEqual(0, r2.returncode, r2.stderr)
        with open(self.path("1.pkg"), "rb") as f1, open(self.path("2.pkg"), "rb") as f2:
            one, two = f1.read(), f2.read()
        self.assertEqual(one, two)

        image = zipfile.ZipFile(io.BytesIO(Parts(self.path("1.pkg")).images()[0]))
        infos = image.infolist()
        names = [i.filename for i in infos]
        self.assertEqual(sorted(names, key=lambda n: n.encode()), names)
        self.assertEqual({(1980, 1, 1, 0, 0, 0)}, {i.date_time for i in infos})
        modes = {i.filename: i.external_attr >> 16 for i in infos}
        self.assertEqual(0o100755, modes["tool"])
        self.assertEqual(0o100644, modes["docs/read me.txt"])
        self.assertEqual(0o040755, modes["empty/"])
        self.assertEqual({b""}, {i.extra for i in infos})

        # What the bytes do depend on: SOURCE_DATE_EPOCH, and the mode.
        epoch = {"SOURCE_DATE_EPOCH": "1700000001"}
        r3 = run_pkgtool(*build_args(self.path("3.pkg"), a), env=dict(epoch, TZ="UTC"))
        r4 = run_pkgtool(*build_args(self.path("4.pkg"), b), env=dict(epoch, TZ="America/Lima"))
        self.assertEqual(0, r3.returncode, r3.stderr)
        self.assertEqual(0, r4.returncode, r4.stderr)
        with open(self.path("3.pkg"), "rb") as f3, open(self.path("4.pkg"), "rb") as f4:
            three, four = f3.read(), f4.read()
        self.assertEqual(three, four)
        self.assertNotEqual(one, three)
        image = zipfile.ZipFile(io.BytesIO(Parts(self.path("3.pkg")).images()[0]))
        # 1700000001 is 2023-11-14 22:13:21 UTC; zip times count in 2 s.
        self.assertEqual({(2023, 11, 14, 22, 13, 20)}, {i.date_time for i in image.infolist()})
        r5 = run_pkgtool(*build_args(self.path("5.pkg"), a), env={"SOURCE_DATE_EPOCH": "0"})
        self.assertEqual(0, r5.returncode, r5.stderr)
        with open(self.path("5.pkg"), "rb") as f5:
            self.assertEqual(one, f5.read())  # before 1980: 1980-01-01

        os.chmod(os.path.join(b, "docs", "read me.txt"), 0o700)
        r6 = run_pkgtool(*build_args(self.path("6.pkg"), b))
        self.assertEqual(0, r6.returncode, r6.stderr)
        with open(self.path("6.pkg"), "rb") as f6:
            self.assertNotEqual(one, f6.read())


class BadInput(E2ETest):
    def assertRefused(self, r, message, out):
        self.assertNotEqual(0, r.returncode)
        lines = r.stderr.splitlines()
        self.assertEqual(1, len(lines), r.stderr)
        self.assertTrue(lines[0].startswith("pkgtool: "), lines[0])
        self.assertIn(message, lines[0])
        self.assertFalse(os.path.exists(out), out)
        if os.path.isdir(os.path.dirname(out)):  # nor a temporary file beside it
            self.assertEqual([], [n for n in os.listdir(os.path.dirname(out))
                                  if n.startswith(os.path.basename(out))])

    def test_bad_folders(self):
        good = {"tool": TOOL}
        out = self.path("out.pkg")

        def case(name, files, setup=None):
            root = write_tree(self.path(name), files)
            if setup:
                setup(root)
            return root

        long_dir = "/".join(["d" * 60] * 4)  # 243 bytes with slashes
        cases = [
            (self.path("missing"), "cannot read the image " + self.path("missing")),
            ("/dev/null", "the image /dev/null is neither a zip file nor a folder"),
            (case("link", good, lambda r: os.symlink("tool", os.path.join(r, "alias"))),
             "alias is a symbolic link"),
            (case("dangling", good, lambda r: os.symlink("/nowhere", os.path.join(r, "x"))),
             "x is a symbolic link"),
            (case("fifo", good, lambda r: os.mkfifo(os.path.join(r, "pipe"))),
             "pipe is neither a file nor a folder"),
            (case("empty", {}), "is empty"),
            (case("long", {"tool": TOOL, long_dir + "/" + "n" * 20: "x"}),
             "a name longer than 255 bytes"),
        ]
        for image, message in cases:
            with self.subTest(message=message):
                self.assertRefused(run_pkgtool(*build_args(out, image)), message, out)
        # Exactly 255 bytes fit.
        fits = case("fits", {"tool": TOOL, long_dir + "/" + "n" * 11: "x"})
        r = run_pkgtool(*build_args(out, fits))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(0, run_pkgtool("verify", out).returncode)

        for value in ("abc", "-5", "99999999999", " 1"):
            with self.subTest(epoch=value):
                r = run_pkgtool(*build_args(self.path("e.pkg"), fits),
                                env={"SOURCE_DATE_EPOCH": value})
                self.assertRefused(r, "SOURCE_DATE_EPOCH", self.path("e.pkg"))

    def test_bad_zips_are_refused(self):
        out = self.path("out.pkg")
        cases = [
            ({"../evil": "x", "tool": TOOL}, zipfile.ZIP_DEFLATED, "a \".\" or \"..\" part in the name"),
            ({"/etc/evil": "x"}, zipfile.ZIP_DEFLATED, "an absolute name"),
            ({"n" * 256: "x"}, zipfile.ZIP_STORED, "a name longer than 255 bytes"),
            ({"tool": TOOL}, zipfile.ZIP_BZIP2, "a compression method other than stored or deflated"),
        ]
        for files, method, message in cases:
            with self.subTest(message=message):
                image = self.path("bad.zip")
                with zipfile.ZipFile(image, "w", method) as z:
                    for n, c in files.items():
                        z.writestr(n, c)
                self.assertRefused(run_pkgtool(*build_args(out, image)), message, out)
        # A damaged zip (a byte of the data flipped) is caught by its CRC.
        with open(make_zip(self.path("ok.zip"), {"tool": TOOL * 20}), "rb") as f:
            data = bytearray(f.read())
        data[40] ^= 0xFF
        with open(self.path("flip.zip"), "wb") as f:
            f.write(data)
        r = run_pkgtool(*build_args(out, self.path("flip.zip")))
        self.assertRefused(r, "flip.zip", out)

    @unittest.skipUnless(shutil.which("setpriv"), "setpriv is needed to drop root")
    def test_unreadable_folder_and_unwritable_output(self):
        # As root nothing is unreadable: the cases run as an ordinary user.
        user = 65534 if os.geteuid() == 0 else None
        # The user may not enter the build tree (in root's home, say): the
        # programs run from copies in the test's folder.
        bin_dir = self.path("bin")
        os.mkdir(bin_dir)
        copies = {p: shutil.copy(p, bin_dir) for p in (PKGTOOL, LAUNCHER, UNZIP)}

        def run_pkgtool_as_user(*args):
            return run_pkgtool(*[copies.get(a, a) for a in args], user=user,
                               program=copies[PKGTOOL])

        src = write_tree(self.path("src"), {"tool": TOOL, "secret/data": "x"})
        os.chmod(os.path.join(src, "secret"), 0)
        writable = self.path("w")
        os.mkdir(writable)
        os.chmod(writable, 0o777)
        out = os.path.join(writable, "out.pkg")
        r = run_pkgtool_as_user(*build_args(out, src))
        self.assertRefused(r, "cannot read the folder " + os.path.join(src, "secret"), out)
        os.chmod(os.path.join(src, "secret"), 0o755)

        readonly = self.path("ro")
        os.mkdir(readonly)
        os.chmod(readonly, 0o555)
        out = os.path.join(readonly, "out.pkg")
        r = run_pkgtool_as_user(*build_args(out, src))
        self.assertRefused(r, "cannot write " + out, out)
        r = run_pkgtool(*build_args(self.path("nodir", "x.pkg"), src))
        self.assertRefused(r, "cannot write", self.path("nodir", "x.pkg"))

        # unpack into a folder that cannot be made or written.
        ok = self.path("ok.pkg")
        self.assertEqual(0, run_pkgtool(*build_args(ok, self.image)).returncode)
        for folder, message in ((os.path.join(readonly, "sub"), "cannot create the folder"),
                                (readonly, "cannot create the file: Permission denied")):
            with self.subTest(folder=folder):
                r = run_pkgtool_as_user("unpack", ok, folder)
                self.assertEqual(1, r.returncode)
                self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
                self.assertIn(message, r.stderr)
        self.assertEqual([], os.listdir(readonly))
        with open(self.path("plain"), "w") as f:
            f.write("x")
        r = run_pkgtool("unpack", ok, os.path.join(self.path("plain"), "sub"))
        self.assertEqual(1, r.returncode)
        self.assertIn("cannot create the folder", r.stderr)


if __name__ == "__main__":
    unittest.main()
