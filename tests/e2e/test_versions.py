"""Versions: pkgtool --version prints the project's version, the launcher
and tunzip carry it, and pkgtool info shows the one in a package's stubs;
arguments such as --version still reach the tool."""
import json
import os
import re
import unittest

from e2e_util import E2ETest, LAUNCHER, MINIUNZIP, UNZIP, pkgtool, tool_args
from install_util import project_version


class Versions(E2ETest):
    def test_pkgtool_version(self):
        version = project_version()
        self.assertRegex(version, r"^\d+\.\d+\.\d+$")
        r = pkgtool("--version")
        self.assertEqual("pkgtool %s\n" % version, r.stdout)
        self.assertIn("pkgtool --version", pkgtool("--help").stdout)

    def test_stubs_carry_the_version(self):
        version = project_version()
        for binary, mark in ((LAUNCHER, b"TRELL-LAUNCHER-VERSION "),
                             (UNZIP, b"TRELL-TUNZIP-VERSION ")):
            with open(binary, "rb") as f:
                data = f.read()
            self.assertEqual([mark + version.encode() + b"\0"],
                             re.findall(re.escape(mark) + rb"[^\0]*\0", data), binary)

    def test_info_shows_the_stubs_versions(self):
        version = project_version()
        text = pkgtool("info", self.pkg).stdout
        self.assertEqual(["    version: " + version] * 2,
                         [l for l in text.splitlines() if l.startswith("    version:")])
        info = json.loads(pkgtool("info", "--json", self.pkg).stdout)
        self.assertEqual([(0, version), (1, version)],
                         [(e["element"], e["version"]) for e in info["executables"]])
        # Debian's miniunzip carries none; nor does a launcher whose mark is
        # damaged.
        with open(LAUNCHER, "rb") as f:
            damaged = f.read().replace(b"TRELL-LAUNCHER-VERSION ", b"TRELL-LAUNCHER-VERSION-")
        stub = self.path("stub")
        with open(stub, "wb") as f:
            f.write(damaged)
        os.chmod(stub, 0o755)
        other = self.path("other.pkg")
        pkgtool("build", "-o", other, "--stub", stub, "--unzip", MINIUNZIP,
                "--record", "redhat", "5", "x86-64", "0", "./tool", "", "--image", self.image)
        info = json.loads(pkgtool("info", "--json", other).stdout)
        self.assertEqual([None, None], [e["version"] for e in info["executables"]])
        self.assertIn("    version: none found", pkgtool("info", other).stdout)
        # The damaged mark changes nothing of the run.
        r = self.run_pkg(["x"], pkg=other)
        self.assertEqual(0, r.returncode, r.stderr)

    def test_launcher_takes_no_option_of_its_own(self):
        for args in (["--version"], ["--help"], ["-v", "--version"]):
            with self.subTest(args=args):
                r = self.run_pkg(args)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual(args, tool_args(r.stdout))
                self.assertNotIn("TRELL", r.stdout)


if __name__ == "__main__":
    unittest.main()
