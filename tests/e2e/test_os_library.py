"""The OS-services library for tool authors: the example tool
examples/newest, built as a fresh project against an installed tree
(find_package(Trell), and pkg-config), packed by the installed pkgtool and
run as a package, and sending its file to an FTP server with uploadFile."""
import os
import shutil
import subprocess
import time
import unittest

from e2e_util import ROOT, E2ETest
from install_util import install_tree, project_version
from upload_servers import Servers

EXAMPLE = os.path.join(ROOT, "examples", "newest")


class OsLibrary(E2ETest):
    def setUp(self):
        super().setUp()
        self.prefix = install_tree(self.path("prefix"))
        # Logs of different ages: the newest .log is b.log; a newer file of
        # another kind and a newer folder named like a log do not count.
        self.logs = self.path("logs")
        os.mkdir(self.logs)
        now = time.time()
        for name, text, age in (("a.log", "old entry\n", 300), ("b.log", "second-word rest\n", 200),
                                ("c.txt", "not a log\n", 100)):
            with open(os.path.join(self.logs, name), "w") as f:
                f.write(text)
            os.utime(os.path.join(self.logs, name), (now - age, now - age))
        os.mkdir(os.path.join(self.logs, "d.log"))
        self.expected = "newest: %s/b.log\nfirst word: second-word\n" % self.logs

    def test_installed_files(self):
        for path in ("include/trell/osspecific.h", "lib/libtrell_os.a",
                     "lib/cmake/Trell/TrellConfig.cmake",
                     "lib/cmake/Trell/TrellConfigVersion.cmake", "lib/pkgconfig/trell-os.pc"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, path)), path)
        # The library holds the further services, with C linkage.
        r = subprocess.run(["nm", "--defined-only", os.path.join(self.prefix, "lib",
                                                                  "libtrell_os.a")],
                           capture_output=True, text=True, check=True)
        symbols = {line.split()[-1] for line in r.stdout.splitlines() if len(line.split()) == 3}
        for name in ("findLatestFile", "readDevice", "getDefaultOutputDir", "ftpFile",
                     "uploadFile", "mountRemovableMedia", "executeProcess", "getPfmInfo"):
            self.assertIn(name, symbols)
        # libsodium's SHA-256 inside is under names of its own: a tool may
        # link libsodium as well.
        self.assertIn("trell_crypto_hash_sha256_update", symbols)
        self.assertEqual([], [s for s in symbols if s.startswith(("crypto_", "sodium_"))])

    def test_find_package_build_pack_and_run(self):
        source = shutil.copytree(EXAMPLE, self.path("newest"))
        build = self.path("newest-build")
        r = subprocess.run(["cmake", "-S", source, "-B", build,
                            "-DCMAKE_PREFIX_PATH=" + self.prefix], capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        r = subprocess.run(["cmake", "--build", build], capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)

        image = self.path("image")
        os.mkdir(image)
        shutil.copy(os.path.join(build, "newest"), image)
        pkg = self.path("newest.pkg")
        r = subprocess.run([os.path.join(self.prefix, "bin", "pkgtool"), "build", "-o", pkg,
                            "--record", "redhat", "5", "x86-64", "0", "./newest", "",
                            "--image", image], capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stderr)
        r = self.run_pkg([self.logs, ".log"], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertTrue(r.stdout.endswith(self.expected), r.stdout)
        r = self.run_pkg([self.logs + "/", ".none"], pkg=pkg)
        self.assertEqual(1, r.returncode, r.stdout + r.stderr)
        self.assertIn("no file ending in .none in %s/\n" % self.logs, r.stdout)

        # A version the tree does not have is refused.
        with open(os.path.join(source, "CMakeLists.txt")) as f:
            text = f.read()
        with open(os.path.join(source, "CMakeLists.txt"), "w") as f:
            f.write(text.replace("find_package(Trell 1.0 REQUIRED)",
                                 "find_package(Trell 99 REQUIRED)"))
        r = subprocess.run(["cmake", "-S", source, "-B", self.path("too-new"),
                            "-DCMAKE_PREFIX_PATH=" + self.prefix], capture_output=True, text=True)
        self.assertNotEqual(0, r.returncode)
        self.assertIn("TrellConfig.cmake, version: %s" % project_version(), r.stderr)

    def test_pkg_config(self):
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(self.prefix, "lib", "pkgconfig"))
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "trell-os"], env=env,
                               capture_output=True, text=True, check=True).stdout.split()
        tool = self.path("newest-pc")
        r = subprocess.run(["cc", "-o", tool, os.path.join(EXAMPLE, "newest.c"), *flags],
                           capture_output=True, text=True)
        self.assertEqual(0, r.returncode, r.stderr)
        r = subprocess.run([tool, self.logs, ".log"], capture_output=True, text=True)
        self.assertEqual((0, self.expected), (r.returncode, r.stdout))

        # With a URL, the tool (in C, with the library and libdl alone) sends
        # the file and its checksum file.
        servers = Servers(self.dir)
        self.addCleanup(servers.stop)
        received = servers.folder("received")
        url = "ftp://127.0.0.1:%d/" % servers.plain_ftp(received)
        r = subprocess.run([tool, self.logs, ".log", url], capture_output=True, text=True)
        self.assertEqual((0, self.expected, ""), (r.returncode, r.stdout, r.stderr))
        with open(os.path.join(received, "b.log")) as f:
            self.assertEqual("second-word rest\n", f.read())
        with open(os.path.join(received, "b.log.sha256"), "rb") as f:
            self.assertEqual(subprocess.run(["sha256sum", "b.log"], cwd=self.logs, check=True,
                                            capture_output=True).stdout, f.read())


if __name__ == "__main__":
    unittest.main()
