"""Hosts of today on fake hosts: "uname -i" printing "unknown" (Debian,
busybox), and systems that keep only os-release (SLES 15, openSUSE), in
private mount namespaces as the other platform tests build them."""
import subprocess
import time
import unittest

from e2e_util import build_package, make_zip
from test_platform import ABSENT, FIFO, STRICT_WARNING, FakeHost

DEBIAN_12 = ('PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nNAME="Debian GNU/Linux"\n'
             'VERSION_ID="12"\nVERSION="12 (bookworm)"\nVERSION_CODENAME=bookworm\nID=debian\n'
             'HOME_URL="https://www.debian.org/"\n')
SLES_15_SP5 = ('NAME="SLES"\nVERSION="15-SP5"\nVERSION_ID="15.5"\n'
               'PRETTY_NAME="SUSE Linux Enterprise Server 15 SP5"\nID="sles"\nID_LIKE="suse"\n'
               'ANSI_COLOR="0;32"\nCPE_NAME="cpe:/o:suse:sles:15:sp5"\n'
               'DOCUMENTATION_URL="https://documentation.suse.com/"\n')
LEAP_15_5 = ('NAME="openSUSE Leap"\nVERSION="15.5"\nID="opensuse-leap"\n'
             'ID_LIKE="suse opensuse"\nVERSION_ID="15.5"\nPRETTY_NAME="openSUSE Leap 15.5"\n')
ROCKY_9_3 = ('NAME="Rocky Linux"\nVERSION="9.3 (Blue Onyx)"\nID="rocky"\n'
             'ID_LIKE="rhel centos fedora"\nVERSION_ID="9.3"\n')
DEBUG = {"TRELL_PORTABLE_DEBUG": ""}


class ArchitectureFromTheKernel(FakeHost):
    """An image pair on a host whose "uname -i" says "unknown"."""

    def setUp(self):
        super().setUp()
        x86 = make_zip(self.path("x86.zip"), {"tool": "#!/bin/sh\necho image=x86\n"})
        x64 = make_zip(self.path("x64.zip"), {"tool": "#!/bin/sh\necho image=x86-64\n"})
        self.pair = build_package(self.path("pair"), None, pair=(x86, x64))

    def run_pair(self, personality=None):
        setup = self.host(uname="unknown", os_release=DEBIAN_12)
        argv = self.isolated([self.pair], setup=setup)
        if personality:
            argv = ["setarch", personality, *argv]
        # Past the platform check: the pair's own choice is under test.
        env = dict(self.env, TRELL_PORTABLE_INTERACTIVE="")
        return subprocess.run(argv, env=env, cwd=self.dir, capture_output=True, text=True,
                              timeout=60)

    def test_the_pair_takes_the_image_of_the_kernels_machine(self):
        r = self.run_pair()
        self.assertEqual((0, "image=x86-64\n", ""), (r.returncode, r.stdout[-13:], r.stderr))
        r = self.run_pair("i686")
        self.assertEqual((0, "image=x86\n", ""), (r.returncode, r.stdout[-10:], r.stderr))
        self.assertNoWorkDir()

    def test_the_platform_check_shows_the_kernels_machine(self):
        # Debian 12, the architecture from the kernel.
        r = self.run_on(self.host(uname="unknown", os_release=DEBIAN_12), strict=True, env=DEBUG)
        self.assertEqual(1, r.returncode)
        self.assertEqual(STRICT_WARNING % ("Debian", 12, "x86-64"), r.stderr)
        # A record for x86 matches on an i686 kernel.
        argv = self.isolated([self.pkg_for([("redhat", "9", "x86", "1", "./tool", "rh9-32")],
                                            strict=True), "-v"],
                             setup=self.host(uname="unknown", os_release=ROCKY_9_3))
        r = subprocess.run(["setarch", "i686", *argv], env=self.env, cwd=self.dir,
                           capture_output=True, text=True, timeout=60)
        self.assertEqual((0, ""), (r.returncode, r.stderr))
        self.assertEqual("rh9-32", self.record_run(r))

    def pkg_for(self, records, strict=False):
        return build_package(self.path("pkg-records"), self.image, records=records,
                             strict=strict)


class DistributionFromOsRelease(FakeHost):
    def setUp(self):
        super().setUp()
        self.records = [("redhat", "9", "x86-64", "1", "./tool", "rh9"),
                        ("suse", "15", "x86-64", "1", "./tool", "suse15"),
                        ("redhat", "8", "x86-64", "1", "./tool", "rh8")]

    def expect_silent_match(self, setup, record, strict=False):
        start = time.monotonic()
        r = self.run_on(setup, strict=strict)
        self.assertEqual((0, ""), (r.returncode, r.stderr))
        self.assertEqual(record, self.record_run(r))
        self.assertLess(time.monotonic() - start, 4)  # no warning pause
        self.assertNoWorkDir()

    def test_sles_15_without_suse_release(self):
        for strict in (False, True):
            with self.subTest(strict=strict):
                self.expect_silent_match(self.host(os_release=SLES_15_SP5), "suse15", strict)

    def test_opensuse_leap_from_usr_lib_only(self):
        setup = self.host(os_release=ABSENT, usr_os_release=LEAP_15_5)
        self.expect_silent_match(setup, "suse15", strict=True)

    def test_old_release_file_wins_over_os_release(self):
        # os-release is read only where no old-style file exists.
        setup = self.host(redhat="Rocky Linux release 8.9 (Green Obsidian)\n",
                          os_release=ROCKY_9_3)
        self.expect_silent_match(setup, "rh8", strict=True)
        self.expect_silent_match(self.host(os_release=ROCKY_9_3), "rh9", strict=True)

    def test_unknown_systems_as_before(self):
        r = self.run_on(self.host(os_release=ABSENT, usr_os_release=ABSENT), strict=True,
                        env=DEBUG)
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed determining platform information: Unknown distribution.\n"
                         + STRICT_WARNING % ("Unknown", -1, "x86-64"), r.stderr)
        self.assertNoWorkDir()
        # An os-release of a family no record names: the warning and its pause.
        start = time.monotonic()
        r = self.run_on(self.host(os_release='ID=arch\nVERSION_ID="20240101"\n'))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("distribution = Unknown\n", r.stderr)
        self.assertEqual("rh9", self.record_run(r))
        self.assertGreaterEqual(time.monotonic() - start, 5)

    def test_hostile_os_release_files(self):
        huge_line = "NAME=" + "n" * 200 * 1024 + "\n"
        good = ("# a comment\n\n   \n" + huge_line + "\x00\x01\xff\xfe garbage =\n"
                "VERSION_ID=\"16.1\nID=s'l'\"es\" # the one shell word sles\n"
                "VERSION_ID='15.5'\n").encode("latin-1")
        self.expect_silent_match(self.host(os_release=good), "suse15", strict=True)
        for name, text in (("unterminated", b'ID="sles\nVERSION_ID=15\n'),
                           ("binary", bytes(range(256)) * 64),
                           ("huge line only", ("ID=" + "s" * 300 * 1024).encode())):
            with self.subTest(name=name):
                r = self.run_on(self.host(os_release=text), strict=True, env=DEBUG)
                self.assertEqual(1, r.returncode)
                self.assertEqual("Failed determining platform information: "
                                 "Unknown distribution.\n"
                                 + STRICT_WARNING % ("Unknown", -1, "x86-64"), r.stderr)
        # A FIFO nobody writes to is not waited on.
        start = time.monotonic()
        r = self.run_on(self.host(os_release=FIFO), strict=True, env=DEBUG)
        self.assertEqual(1, r.returncode)
        self.assertIn("Failed reading release file.", r.stderr)
        self.assertLess(time.monotonic() - start, 10)


if __name__ == "__main__":
    unittest.main()
