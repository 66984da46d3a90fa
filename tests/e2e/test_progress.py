"""Progress of pkgtool build and unpack on a large image: shown on a
terminal (a real pseudo-terminal as standard error), nothing extra when
standard error is a pipe."""
import os
import pty
import re
import shutil
import subprocess
import unittest

from e2e_util import LAUNCHER, PKGTOOL, TOOL, UNZIP, E2ETest, write_script
from pkg_util import without_host_needs

FILES = 40
FILE_SIZE = 256 * 1024


def on_terminal(argv):
    """Runs argv with standard error on a pseudo-terminal and standard
    output on a pipe.  Result: (status, stdout, what the terminal showed)."""
    master, slave = pty.openpty()
    try:
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=slave)
    finally:
        os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the last writer is gone
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    stdout = p.stdout.read()
    p.stdout.close()
    return p.wait(), stdout, shown.decode()


def percentages(shown, what):
    """The percentages shown for the work named what, in order."""
    return [int(m) for m in re.findall(r"pkgtool: %s: +(\d+)%%" % re.escape(what), shown)]


class Progress(E2ETest):
    def setUp(self):
        super().setUp()
        self.folder = self.path("big")
        os.mkdir(self.folder)
        write_script(os.path.join(self.folder, "tool"), TOOL)
        for i in range(FILES):
            with open(os.path.join(self.folder, "data%02d" % i), "wb") as f:
                f.write(os.urandom(FILE_SIZE))
        self.out = self.path("big.pkg")
        self.build = [PKGTOOL, "build", "-o", self.out, "--stub", LAUNCHER, "--unzip", UNZIP,
                      "--record", "redhat", "5", "x86-64", "0", "./tool", "",
                      "--image", self.folder]

    def assertProgress(self, shown, what):
        seen = percentages(shown, what)
        self.assertGreater(len(seen), 5, shown)
        self.assertEqual(sorted(seen), seen, "progress never goes back")
        self.assertEqual(100, seen[-1])
        self.assertLessEqual(seen[0], 10)
        # Rewritten in place, and the line ended once the work is done.
        self.assertIn("\rpkgtool: " + what, shown)
        self.assertRegex(shown, r"pkgtool: %s: 100%%\r?\n" % re.escape(what))

    def assertUnpacked(self, folder):
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(os.listdir(folder)))
        for name in os.listdir(self.folder):
            with open(os.path.join(self.folder, name), "rb") as a, \
                    open(os.path.join(folder, name), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)

    def test_on_a_terminal(self):
        status, stdout, shown = on_terminal(self.build)
        self.assertEqual(0, status, shown)
        self.assertEqual(b"", stdout)
        self.assertProgress(shown, "zipping the image")
        self.assertProgress(shown, "checking the image")
        self.assertLess(shown.index("zipping the image"), shown.index("checking the image"))

        status, stdout, shown = on_terminal([PKGTOOL, "unpack", self.out, self.path("out")])
        self.assertEqual(0, status, shown)
        self.assertEqual(b"", stdout)
        self.assertProgress(shown, "checking the image")
        self.assertProgress(shown, "unpacking the image")
        self.assertLess(shown.index("checking the image"), shown.index("unpacking the image"))
        self.assertUnpacked(self.path("out"))

    def test_zip_image_on_a_terminal(self):
        # A zip is only checked, the longest part of a build from it.
        zipped = shutil.make_archive(self.path("big"), "zip", self.folder)
        build = self.build[:-1] + [zipped]
        status, _, shown = on_terminal(build)
        self.assertEqual(0, status, shown)
        self.assertProgress(shown, "checking the image")
        self.assertNotIn("zipping", shown)

    def test_on_a_pipe(self):
        r = subprocess.run(self.build, capture_output=True, text=True)
        self.assertEqual((0, "", ""), (r.returncode, r.stdout, without_host_needs(r.stderr)))
        r = subprocess.run([PKGTOOL, "unpack", self.out, self.path("out")], capture_output=True)
        self.assertEqual((0, b"", b""), (r.returncode, r.stdout, r.stderr))
        self.assertUnpacked(self.path("out"))

    def test_failure_on_a_terminal(self):
        # A failed unpacking still ends the progress line before its message.
        os.mkdir(self.path("out"))
        os.mkdir(self.path("out", "data07"))  # a folder in the way of a file
        self.assertEqual(0, subprocess.run(self.build, capture_output=True).returncode)
        status, _, shown = on_terminal([PKGTOOL, "unpack", self.out, self.path("out")])
        self.assertEqual(1, status)
        self.assertRegex(shown, r"pkgtool: unpacking the image: 100%\r?\npkgtool: .*data07")


if __name__ == "__main__":
    unittest.main()
