"""cpack -G DEB in the build folder: the .deb it writes there, its
declared dependencies, and the pkgtool from it, unpacked into a scratch
root, building a package that runs."""
import glob
import os
import subprocess
import unittest

from e2e_util import E2ETest
from emulation import CROSS_ARCHES
from install_util import BUILD, COLLECTIONS, build_and_run, check_collection, project_version


class Deb(E2ETest):
    def make_deb(self):
        for old in glob.glob(os.path.join(BUILD, "trell_*.deb")):
            os.remove(old)
        r = subprocess.run(["cpack", "-G", "DEB"], cwd=BUILD, capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        debs = glob.glob(os.path.join(BUILD, "trell_*.deb"))
        self.assertEqual(1, len(debs), debs)
        return debs[0]

    def field(self, deb, name):
        return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True,
                              check=True).stdout.strip()

    def test_deb(self):
        deb = self.make_deb()
        self.assertEqual("trell", self.field(deb, "Package"))
        version = project_version()
        self.assertEqual(version, self.field(deb, "Version"))
        self.assertTrue(os.path.basename(deb).startswith("trell_%s_" % version), deb)

        # The libraries pkgtool links, each by a package installed here.
        depends = [d.strip().split()[0] for d in self.field(deb, "Depends").split(",")]
        for needed in ("libzip4", "libdeflate0", "libc6", "libstdc++6"):
            self.assertIn(needed, depends)
        for package in depends:
            r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                               capture_output=True, text=True)
            self.assertIn("install ok installed", r.stdout, package)

        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                                 check=True).stdout
        paths = {line.split()[-1] for line in listing.splitlines()}
        for path in ("./usr/bin/pkgtool", "./usr/bin/trell-run", "./usr/lib/trell/launcher",
                     "./usr/lib/trell/tunzip", "./usr/share/man/man1/pkgtool.1",
                     "./usr/bin/trell-upload", "./usr/share/man/man1/trell-upload.1",
                     "./usr/include/trell/osspecific.h",
                     "./usr/lib/libtrell_os.a", "./usr/lib/cmake/Trell/TrellConfig.cmake",
                     "./usr/lib/pkgconfig/trell-os.pc",
                     "./usr/share/ansible/collections/ansible_collections/trell/portable/galaxy.yml"):
            self.assertIn(path, paths)
        for arch in CROSS_ARCHES:
            for stub in ("launcher-", "tunzip-"):
                self.assertIn("./usr/lib/trell/" + stub + arch, paths)

        # Unpacked into a scratch root, with its dependencies from the host.
        root = self.path("root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        pkgtool = os.path.join(root, "usr", "bin", "pkgtool")
        pkg = build_and_run(self, pkgtool, self.path("work"))
        with open(pkg, "rb") as f:
            data = f.read()
        with open(os.path.join(root, "usr", "lib", "trell", "launcher"), "rb") as f:
            self.assertTrue(data.startswith(f.read()))

        # The collection lies where Ansible looks without settings.
        check_collection(self, os.path.join(root, "usr", COLLECTIONS), self.path("ansible"))
        r = subprocess.run(["ansible-config", "dump"], capture_output=True, text=True,
                           env=dict(os.environ, ANSIBLE_CONFIG=self.path("none.cfg")))
        paths = [l for l in r.stdout.splitlines() if l.startswith("COLLECTIONS_PATHS(default)")]
        self.assertEqual(1, len(paths), r.stdout + r.stderr)
        self.assertIn("'/usr/share/ansible/collections'", paths[0])


if __name__ == "__main__":
    unittest.main()
