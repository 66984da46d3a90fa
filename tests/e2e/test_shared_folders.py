"""Shared folders and hostile trees: pkgtool packs only what it scanned (a
real swapper, run as another user, changes the image folder while pkgtool
reads it), unpacking never adopts another user's folders or links (tunzip,
pkgtool unpack, the launcher's --extract), and the folders an archive makes
are bounded (a folder bomb refused, a real Python installation unpacked)."""
import os
import re
import shutil
import stat
import struct
import subprocess
import unittest
import zipfile

from e2e_util import UNZIP, E2ETest, TOOL, assemble, build_package, make_zip, pkgtool, record_bytes
from pkg_util import build_args, copy_launcher_and_unzip, read_tree, run_pkgtool, write_tree

NOBODY = 65534

# Waits (inotify) for the file TRIGGER in FOLDER to be opened, then swaps
# the name VICTIM there for a symbolic link to /etc ("link") or a FIFO
# ("fifo"), and says so.
SWAPPER = r"""
import ctypes, os, struct, sys
folder, trigger, victim, kind = sys.argv[1:5]
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
IN_OPEN = 0x20
if fd < 0 or libc.inotify_add_watch(fd, os.path.join(folder, trigger).encode(), IN_OPEN) < 0:
    sys.exit("cannot watch: %s" % os.strerror(ctypes.get_errno()))
print("watching", flush=True)
os.read(fd, 4096)
path = os.path.join(folder, victim)
os.rename(path, path + ".away")
if kind == "link":
    os.symlink("/etc", path)
else:
    os.mkfifo(path)
print("swapped", flush=True)
"""


def setpriv(argv, user=NOBODY):
    return ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", *argv]


def can_setpriv():
    return os.geteuid() == 0 and shutil.which("setpriv") is not None


class PkgtoolRace(E2ETest):
    """An image folder others may write to, as a shared build tree is: a
    watcher of another user swaps part of it when pkgtool opens a large
    file beside it.  The build fails every time, naming the path."""

    def setUp(self):
        super().setUp()
        if not can_setpriv():
            self.skipTest("running the swapper as another user needs root and setpriv")

    def tree(self, name):
        img = write_tree(self.path(name), {"aa/early": "read before big\n", "big": b"",
                                           "sub/shadow": "what the scan saw\n", "tool": TOOL,
                                           "zz": "a plain file\n"})
        with open(os.path.join(img, "big"), "wb") as f:
            f.truncate(128 << 20)  # long enough to read and compress for the swap to land
        os.chmod(img, 0o777)
        return img

    def build_while_swapping(self, img, victim, kind):
        watcher = subprocess.Popen(setpriv(["/usr/bin/python3", "-c", SWAPPER, img, "big", victim,
                                            kind]),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertEqual("watching\n", watcher.stdout.readline())
            pkg = self.path("race.pkg")
            r = run_pkgtool(*build_args(pkg, img))
            out, err = watcher.communicate(timeout=20)
        finally:
            if watcher.poll() is None:
                watcher.kill()
                watcher.communicate()
        self.assertEqual(("swapped\n", ""), (out, err), r.stderr)
        return r, pkg

    def test_the_tree_builds_when_no_one_swaps(self):
        img = self.tree("img")
        r = run_pkgtool(*build_args(self.path("calm.pkg"), img))
        self.assertEqual(0, r.returncode, r.stderr)

    def test_every_swap_fails_the_build(self):
        cases = (
            # Not yet scanned when big is opened: a link in its place.
            ("sub", "link", r"(sub is a symbolic link|sub changed while the image was built)"),
            # A file swapped for a FIFO: refused without blocking.
            ("zz", "fifo", r"(zz is neither a file nor a folder|zz changed while the image "
                           r"was built)"),
            # Already read: the check after the build finds it.
            ("aa", "link", r"aa is a symbolic link"),
        )
        for victim, kind, message in cases:
            for attempt in range(2):
                with self.subTest(victim=victim, attempt=attempt):
                    img = self.tree("img-%s-%d" % (victim, attempt))
                    r, pkg = self.build_while_swapping(img, victim, kind)
                    self.assertEqual(1, r.returncode, r.stderr)
                    self.assertRegex(r.stderr, "^pkgtool: (the image folder changed while the "
                                               "image was built: )?%s/%s"
                                     % (re.escape(img), message))
                    self.assertFalse(os.path.exists(pkg))
                    self.assertEqual([], [n for n in os.listdir(self.dir) if "race.pkg." in n])


class Adoption(E2ETest):
    """Targets and folders another user made, or may write to, or links at
    the target: refused by tunzip, pkgtool unpack and --extract, before
    anything is written there."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("making another user's folders needs root")
        self.image = make_zip(self.path("img.zip"), {"tool": TOOL, "lib/helper.sh": "helper\n"})
        self.pkg = build_package(self.path("img.pkg"), self.image)
        self.secret = self.path("secret")
        os.mkdir(self.secret, 0o700)

    def folder(self, name, owner, mode):
        path = self.path(name)
        os.mkdir(path)
        os.chown(path, owner, owner)
        os.chmod(path, mode)
        return path

    def targets(self):
        """name -> (path, the refusal's words or None)."""
        link = self.path("link")
        os.symlink(self.secret, link)
        return {
            "theirs-0777": (self.folder("theirs-0777", NOBODY, 0o777), "it belongs to another user"),
            "theirs-0755": (self.folder("theirs-0755", NOBODY, 0o755), "it belongs to another user"),
            "open-0777": (self.folder("open-0777", 0, 0o777),
                          "others may write to it, and it is not sticky"),
            "link": (link, "it is a symbolic link"),
            "link/": (link + "/", "it is a symbolic link"),
            "sticky-1777": (self.folder("sticky-1777", 0, 0o1777), None),
            "own-0755": (self.folder("own-0755", 0, 0o755), None),
        }

    def assertUntouched(self, path):
        self.assertEqual([], os.listdir(path))
        self.assertEqual([], os.listdir(self.secret))

    def test_targets(self):
        for name, (path, refusal) in self.targets().items():
            with self.subTest(name=name):
                for way in ("tunzip", "pkgtool unpack", "--extract"):
                    if way == "tunzip":
                        r = subprocess.run([UNZIP, "-o", self.image, "-d", path],
                                           capture_output=True, text=True)
                        status, shown = 3, "tunzip: cannot use the folder %s: %s\n"
                    elif way == "pkgtool unpack":
                        r = pkgtool("unpack", self.pkg, path, check=False)
                        status, shown = 1, "cannot use the folder %s: %s\n"
                    else:
                        r = self.run_pkg(["--extract", path], pkg=self.pkg)
                        status, shown = 1, "Refusing the extract folder %s: %s\n"
                    if refusal is None:
                        self.assertEqual(0, r.returncode, r.stderr)
                        self.assertEqual({"tool", "lib"}, set(os.listdir(path)))
                        shutil.rmtree(os.path.join(path, "lib"))
                        os.unlink(os.path.join(path, "tool"))
                        continue
                    self.assertEqual(status, r.returncode, (way, r.stderr))
                    self.assertTrue(r.stderr.endswith(shown % (path, refusal)),
                                    (way, r.stderr))
                    self.assertUntouched(path if not name.startswith("link") else self.secret)

    def test_folders_inside_the_target(self):
        cases = {"theirs-0777": (NOBODY, 0o777,
                                 "an existing folder on its path belongs to another user"),
                 "theirs-0755": (NOBODY, 0o755,
                                 "an existing folder on its path belongs to another user"),
                 "group-0775": (0, 0o775, "others may write to an existing folder on its path")}
        for name, (owner, mode, refusal) in cases.items():
            for way in ("tunzip", "pkgtool unpack", "--extract"):
                with self.subTest(name=name, way=way):
                    target = self.path("in-%s-%s" % (name, way.replace(" ", "-")))
                    os.mkdir(target)
                    lib = os.path.join(target, "lib")
                    os.mkdir(lib)
                    os.chown(lib, owner, owner)
                    os.chmod(lib, mode)
                    if way == "tunzip":
                        r = subprocess.run([UNZIP, "-o", self.image, "-d", target],
                                           capture_output=True, text=True)
                        self.assertEqual(4, r.returncode, r.stderr)
                    elif way == "pkgtool unpack":
                        r = pkgtool("unpack", self.pkg, target, check=False)
                        self.assertEqual(1, r.returncode, r.stderr)
                    else:
                        r = self.run_pkg(["--extract", target], pkg=self.pkg)
                        self.assertEqual(1, r.returncode, r.stderr)
                    self.assertIn("entry 'lib/helper.sh': " + refusal, r.stderr)
                    self.assertEqual([], os.listdir(lib))
                    self.assertEqual(mode, stat.S_IMODE(os.stat(lib).st_mode))


def bomb(path, files, depth):
    """files empty files, each depth folders deep on a chain of its own."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for i in range(files):
            z.writestr("c%04d/" % i + "a/" * (depth - 1) + "f", b"")
    return path


class Bounds(E2ETest):
    def test_a_folder_bomb_is_refused_everywhere(self):
        cases = ((2000, 123, "a path of more than 64 parts"),
                 (2000, 63, "more folders implied by the entries' paths than 4 for each entry "
                            "and 64 besides (a folder bomb)"))
        for files, depth, message in cases:
            with self.subTest(depth=depth):
                archive = bomb(self.path("bomb-%d.zip" % depth), files, depth)
                self.assertLess(os.path.getsize(archive), 1300 << 10)
                out = self.path("out-%d" % depth)
                os.mkdir(out)
                for args in (["-l", archive], ["-o", archive, "-d", out]):
                    r = subprocess.run([UNZIP, *args], capture_output=True, text=True)
                    self.assertEqual(1, r.returncode)
                    self.assertIn(message, r.stderr)
                self.assertEqual([], os.listdir(out))
                r = run_pkgtool(*build_args(self.path("bomb.pkg"), archive))
                self.assertEqual(1, r.returncode)
                self.assertIn(message, r.stderr)
                # Packed without pkgtool: verify refuses it, and so does the package.
                launcher, unzip = copy_launcher_and_unzip()
                with open(archive, "rb") as f:
                    pkg = assemble(self.path("bomb-%d.pkg" % depth),
                                   [launcher, unzip, struct.pack("<ii", 1, 0),
                                    record_bytes(), f.read()])
                r = pkgtool("verify", pkg, check=False)
                self.assertEqual(1, r.returncode)
                self.assertIn(message, r.stderr)
                r = self.run_pkg(["--extract", self.path("ex-%d" % depth)], pkg=pkg)
                self.assertEqual(1, r.returncode)
                self.assertIn(message, r.stderr)
                self.assertEqual([], os.listdir(self.path("ex-%d" % depth)))

    def test_a_real_python_installation_still_unpacks(self):
        root = "/usr/lib/python3.11"
        if not os.path.isdir(root):
            self.skipTest("no %s here" % root)
        for options in ([], ["-D"]):  # with folder entries, and without (all implied)
            with self.subTest(options=options):
                archive = self.path("python%s.zip" % "".join(options))
                subprocess.run(["zip", "-q", "-r", *options, archive, "."], cwd=root,
                               check=True)
                with zipfile.ZipFile(archive) as z:
                    sizes = {i.filename: i.file_size for i in z.infolist() if not i.is_dir()}
                out = self.path("out%s" % "".join(options))
                os.mkdir(out)
                r = subprocess.run([UNZIP, "-o", archive, "-d", out], capture_output=True,
                                   text=True)
                self.assertEqual((0, ""), (r.returncode, r.stderr))
                tree = {}
                for folder, folders, names in os.walk(out):
                    for n in names:
                        p = os.path.join(folder, n)
                        tree[os.path.relpath(p, out)] = os.path.getsize(p)
                self.assertEqual(sizes, tree)
                self.assertGreater(len(tree), 1000)
                shutil.rmtree(out)


if __name__ == "__main__":
    unittest.main()
