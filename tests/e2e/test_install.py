"""cmake --install: the tree it writes, and an installed pkgtool that finds
its stubs in that tree (also moved, or started through a link) and builds
packages that run."""
import os
import re
import shutil
import subprocess
import unittest

from e2e_util import E2ETest, LAUNCHER, PKGTOOL, UNZIP, split_elements
from emulation import CROSS_ARCHES, stub_paths
from install_util import BUILD, COLLECTIONS, build_and_run, check_collection, install_tree


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Install(E2ETest):
    def setUp(self):
        super().setUp()
        self.prefix = install_tree(self.path("prefix"))

    def test_tree(self):
        p = self.prefix
        version = subprocess.run([PKGTOOL, "--version"], capture_output=True, text=True).stdout
        installed = subprocess.run([os.path.join(p, "bin", "pkgtool"), "--version"],
                                   capture_output=True, text=True)
        self.assertEqual((0, version), (installed.returncode, installed.stdout))
        for name, built in (("launcher", LAUNCHER), ("tunzip", UNZIP)):
            installed = os.path.join(p, "lib", "trell", name)
            self.assertEqual(read(built), read(installed), name)
            self.assertTrue(os.access(installed, os.X_OK), name)
        # The runner, beside pkgtool, runs what pkgtool builds.
        runner = os.path.join(p, "bin", "trell-run")
        r = subprocess.run([runner, self.pkg, "-v"], capture_output=True, text=True,
                           env=dict(os.environ, TRELL_PORTABLE_INTERACTIVE=""))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("[-v]", r.stdout)
        # Nothing of the tests is installed.
        self.assertNotIn("unit_tests", os.listdir(os.path.join(p, "bin")))

    def test_ansible_collection(self):
        check_collection(self, os.path.join(self.prefix, COLLECTIONS), self.path("ansible"))

    def test_man_pages(self):
        upload = os.path.join(BUILD, "bin", "trell-upload")
        for program, built, summary in (
                ("pkgtool", PKGTOOL, "build and inspect self-extracting launcher packages"),
                ("trell-upload", upload, "send a file over HTTPS, FTPS, FTP or SFTP")):
            with self.subTest(program=program):
                page = os.path.join(self.prefix, "share", "man", "man1", program + ".1")
                text = read(page).decode()
                version = subprocess.run([built, "--version"], capture_output=True,
                                         text=True).stdout
                # The installed program is the one built.
                installed = subprocess.run([os.path.join(self.prefix, "bin", program),
                                            "--version"], capture_output=True, text=True)
                self.assertEqual((0, version), (installed.returncode, installed.stdout))
                self.assertIn('.TH %s "1"' % program.upper(), text)
                self.assertIn('"%s %s"' % (program, version.split()[-1]), text)
                # Made from --help: every option of it is on the page.
                help_text = subprocess.run([built, "--help"], capture_output=True,
                                           text=True).stdout
                options = set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", help_text))
                self.assertGreaterEqual(len(options), 8, options)
                for option in options:
                    self.assertIn(option.replace("-", "\\-"), text, option)
                # man reads it.
                r = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                                   env=dict(os.environ, MANPAGER="cat", MANWIDTH="80"))
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertIn(summary, r.stdout)

    def test_installed_pkgtool_packs_its_stubs(self):
        pkgtool = os.path.join(self.prefix, "bin", "pkgtool")
        pkg = build_and_run(self, pkgtool, self.path("work"))
        elements, _ = split_elements(pkg)
        self.assertEqual(read(os.path.join(self.prefix, "lib", "trell", "launcher")), elements[0])
        self.assertEqual(read(os.path.join(self.prefix, "lib", "trell", "tunzip")), elements[1])

    def test_stubs_of_other_architectures(self):
        # Installed as built, and packed by the installed pkgtool's --stubs.
        pkgtool = os.path.join(self.prefix, "bin", "pkgtool")
        for arch in CROSS_ARCHES:
            with self.subTest(arch=arch):
                out = self.path("p-" + arch)
                r = subprocess.run([pkgtool, "build", "-o", out, "--stubs", arch, "--record",
                                    "redhat", "9", "x86-64", "0", "./tool", "", "--image",
                                    self.image], capture_output=True, text=True)
                self.assertEqual(0, r.returncode, r.stderr)
                elements, _ = split_elements(out)
                for element, built in enumerate(stub_paths(arch)):
                    installed = os.path.join(self.prefix, "lib", "trell",
                                             os.path.basename(built))
                    self.assertEqual(read(built), read(installed))
                    self.assertEqual(read(installed), elements[element])

    def test_moved_tree_and_link_on_the_path(self):
        moved = self.path("elsewhere", "opt")
        os.makedirs(os.path.dirname(moved))
        shutil.move(self.prefix, moved)
        build_and_run(self, os.path.join(moved, "bin", "pkgtool"), self.path("moved"))
        links = self.path("links")
        os.mkdir(links)
        os.symlink(os.path.join(moved, "bin", "pkgtool"), os.path.join(links, "pkgtool"))
        build_and_run(self, os.path.join(links, "pkgtool"), self.path("linked"))

    def test_stub_beside_pkgtool_comes_first(self):
        # A tree with stubs in both places, told apart by their sizes.
        root = self.path("both")
        os.makedirs(os.path.join(root, "lib", "trell"))
        shutil.copytree(os.path.join(self.prefix, "bin"), os.path.join(root, "bin"))
        for name, built in (("launcher", LAUNCHER), ("tunzip", UNZIP)):
            shutil.copy(built, os.path.join(root, "bin", name))
            with open(os.path.join(root, "lib", "trell", name), "wb") as f:
                f.write(read(built) + b"\0" * 64)
        pkg = build_and_run(self, os.path.join(root, "bin", "pkgtool"), self.path("work"))
        elements, _ = split_elements(pkg)
        self.assertEqual(read(LAUNCHER), elements[0])
        self.assertEqual(read(UNZIP), elements[1])
        # With only the unzip utility beside it, the launcher comes from lib/trell.
        os.remove(os.path.join(root, "bin", "launcher"))
        pkg = build_and_run(self, os.path.join(root, "bin", "pkgtool"), self.path("work2"))
        elements, _ = split_elements(pkg)
        self.assertEqual(read(LAUNCHER) + b"\0" * 64, elements[0])
        self.assertEqual(read(UNZIP), elements[1])

    def test_no_stub_anywhere(self):
        lonely = self.path("lonely")
        os.mkdir(lonely)
        pkgtool = shutil.copy(os.path.join(self.prefix, "bin", "pkgtool"), lonely)
        out = self.path("out.pkg")
        for extra, missing in (([], "--stub"), (["--stub", LAUNCHER], "--unzip")):
            r = subprocess.run([pkgtool, "build", "-o", out, *extra,
                                "--record", "redhat", "5", "x86-64", "0", "./tool", "",
                                "--image", self.image], capture_output=True, text=True)
            self.assertEqual(1, r.returncode)
            self.assertIn("from its folder: give " + missing, r.stderr)
            self.assertFalse(os.path.exists(out))
        # Named on the command line, the stubs need no tree.
        r = subprocess.run([pkgtool, "build", "-o", out, "--stub", LAUNCHER, "--unzip", UNZIP,
                            "--record", "redhat", "5", "x86-64", "0", "./tool", "",
                            "--image", self.image], capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stderr)


if __name__ == "__main__":
    unittest.main()
