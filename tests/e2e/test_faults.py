"""Faults of the host: /tmp full while a run uses it, a package cut short.
Every run ends with the right message and status and leaves no work
directory behind."""
import os
import subprocess
import unittest

from e2e_util import (MINIUNZIP, E2ETest, TOOL, build_package, make_zip, read_trailer,
                      tool_args, without_package_record)

UNZIP_LINE = "\nFailed executing <./miniunz -o image.zip > /dev/null>\n"


class TmpFaults(E2ETest):
    def run_in_small_tmp(self, pkg, size):
        """Runs the package with a tmpfs of the given size as /tmp and lists
        that tmpfs after the launcher ended (the listing ends stdout)."""
        argv = self.isolated(["sh", "-c", '"$0" "$@"; s=$?; echo "left: $(ls -A /tmp)"; exit $s',
                              pkg, "-v"],
                             setup="mount -t tmpfs -o size=%s trelltmp /tmp" % size)
        return subprocess.run(argv, env=self.env, cwd=self.dir, capture_output=True, text=True,
                              timeout=60)

    def test_full_while_the_image_is_copied(self):
        image = make_zip(self.path("big.zip"), {"tool": TOOL, "blob": os.urandom(3 << 20)})
        pkg = without_package_record(build_package(self.path("big"), image))
        r = self.run_in_small_tmp(pkg, "1m")
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed extracting portable image\n", r.stderr)
        self.assertTrue(r.stdout.endswith("Extracting...\nleft: \n"), r.stdout)

    def test_full_while_the_image_is_unpacked(self):
        image = make_zip(self.path("zeros.zip"), {"tool": TOOL, "zeros": bytes(20 << 20)})
        # tunzip names the entry and the cause itself.
        pkg = without_package_record(build_package(self.path("zeros"), image))
        r = self.run_in_small_tmp(pkg, "2m")
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual("tunzip: image.zip: entry 'zeros': cannot write the file: No space "
                         "left on device\n" + UNZIP_LINE, r.stderr)
        self.assertNotIn("tool:", r.stdout)
        self.assertTrue(r.stdout.endswith("Extracting...\nleft: \n"), r.stdout)
        # Debian's miniunzip says nothing and exits 0: the launcher's own
        # check of the file system catches it.
        pkg = without_package_record(build_package(self.path("zeros-mini"), image,
                                                   unzip=MINIUNZIP))
        r = self.run_in_small_tmp(pkg, "2m")
        self.assertEqual(1, r.returncode, r.stderr)
        self.assertEqual(UNZIP_LINE + "No space left on the file system of /tmp: the image "
                         "was not unpacked whole\n", r.stderr)
        self.assertNotIn("tool:", r.stdout)
        self.assertTrue(r.stdout.endswith("Extracting...\nleft: \n"), r.stdout)

    def test_file_systems_without_a_block_total(self):
        # ramfs, and tmpfs with size=0, report no block total at all: no
        # limit, not full.  As /tmp and as the extract folder, the run goes on.
        for fs in ("ramfs", "tmpfs -o size=0"):
            with self.subTest(fs=fs):
                setup = "mount -t %s trelltmp /tmp && chmod 1777 /tmp" % fs
                r = self.run_pkg(["-v"], isolated=True, setup=setup)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual(["-v"], tool_args(r.stdout))
            with self.subTest(fs=fs, extract=True):
                out = self.path("out-" + fs.split()[0])
                os.mkdir(out)
                script = '"$0" --extract "$1" && ls "$1"'
                argv = self.isolated(["sh", "-c", script, self.pkg, out],
                                     setup="mount -t %s trellout %s" % (fs, out))
                r = subprocess.run(argv, env=self.env, cwd=self.dir, capture_output=True,
                                   text=True, timeout=60)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertTrue(r.stdout.endswith("Extracting...\ntool\n"), r.stdout)


class TruncatedPackages(E2ETest):
    def test_cut_at_every_boundary_and_inside_every_element(self):
        with open(self.pkg, "rb") as f:
            data = f.read()
        d = read_trailer(self.pkg)[1]
        starts = [sum(d[:i]) for i in range(6)]  # element starts and the directory
        cuts = set()
        for i in range(1, 5):
            cuts.add(starts[i])                          # at the boundary
            cuts.add((starts[i] + starts[i + 1]) // 2)   # inside element i
        cuts |= {starts[5], starts[5] + 274, len(data) - 1}
        # Inside element 0 the executable itself is cut: the kernel, not the
        # launcher, decides what happens, so it is not tried.
        for cut in sorted(cuts):
            with self.subTest(cut=cut):
                p = self.path("cut%d" % cut)
                with open(p, "wb") as f:
                    f.write(data[:cut])
                os.chmod(p, 0o755)
                r = self.run_pkg(["-v"], pkg=p, isolated=True)
                self.assertEqual(1, r.returncode, r.stdout)
                self.assertEqual("Invalid package directory\n", r.stderr)
                self.assertEqual("", r.stdout)
                self.assertNoWorkDir()


if __name__ == "__main__":
    unittest.main()
