"""The platform check and the image pair on fake hosts: in a private mount
namespace, release files are laid over /etc and a fake uname over the real
one, so that the launcher identifies the host it is told it is on."""
import hashlib
import os
import signal
import stat
import subprocess
import time
import unittest

from e2e_util import (PKGTOOL, E2ETest, TOOL, assemble, build_package, make_zip, process_state,
                      read_trailer, read_until, split_elements, tool_args,
                      without_package_record, write_script)

WARNING = ("WARNING! This package doesn't appear to match your system.\n"
           "         It is likely that it will not properly execute.\n"
           "         The following information was determined for your system:\n"
           "\n"
           "           distribution = %s\n"
           "           release = %d\n"
           "           processor architecture = %s\n"
           "\n")
STRICT_WARNING = WARNING.replace("         It is likely that it will not properly execute.\n", "")


ABSENT = object()
FIFO = object()


def place(path, text):
    """Writes text at path in an overlay's upper folder: ABSENT hides the
    lower file (a whiteout), FIFO puts a FIFO there, None leaves it."""
    if text is ABSENT:
        os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(0, 0))
    elif text is FIFO:
        os.mkfifo(path)
    elif text is not None:
        with open(path, "w" if isinstance(text, str) else "wb") as f:
            f.write(text)


class FakeHost(E2ETest):
    def setUp(self):
        super().setUp()
        del self.env["TRELL_PORTABLE_INTERACTIVE"]
        # Records tell themselves apart by their default arguments (mode 1).
        self.records = [("suse", "10", "x86-64", "1", "./tool", "suse10"),
                        ("redhat", "5", "x86-64", "1", "./tool", "redhat5-64"),
                        ("redhat", "5", "x86", "1", "./tool", "redhat5-32"),
                        ("redhat", "5", "x86-64", "1", "./tool", "redhat5-64-second")]

    def host(self, uname="x86_64", redhat=None, suse=None, uname_status=0, os_release=None,
             usr_os_release=None):
        """Setup commands that make the namespace look like the given host.
        os_release and usr_os_release are the texts of /etc/os-release and
        /usr/lib/os-release: None keeps this machine's, ABSENT removes the
        file and FIFO puts a FIFO in its place."""
        self.hosts = getattr(self, "hosts", 0) + 1
        etc = self.path("etc-upper%d" % self.hosts)
        work = self.path("etc-work%d" % self.hosts)
        for d in (etc, work):
            os.makedirs(d)
        for name, text in (("redhat-release", redhat), ("SuSE-release", suse),
                           ("os-release", os_release)):
            place(os.path.join(etc, name), text)
        fake = write_script(self.path("uname%d" % self.hosts),
                            "#!/bin/sh\nprintf '%s\\n'\nexit %d\n" % (uname, uname_status))
        cmds = ["mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc"
                % (etc, work),
                "mount --bind %s /usr/bin/uname" % fake]
        if not os.path.islink("/bin"):
            cmds.append("mount --bind %s /bin/uname" % fake)
        if usr_os_release is not None:
            lib = self.path("lib-upper%d" % self.hosts)
            os.makedirs(lib)
            os.makedirs(self.path("lib-work%d" % self.hosts))
            place(os.path.join(lib, "os-release"), usr_os_release)
            cmds.append("mount -t overlay overlay -o lowerdir=/usr/lib,upperdir=%s,workdir=%s "
                        "/usr/lib" % (lib, self.path("lib-work%d" % self.hosts)))
        return " && ".join(cmds)

    def run_on(self, setup, args=("-v",), pkg=None, env=None, records=None, strict=False,
               count=None):
        if pkg is None:
            pkg = build_package(self.path("pkg-host"), self.image,
                                records=records or self.records, strict=strict)
        if count is not None:
            data, d = read_trailer(pkg)
            gi = d[0] + d[1]
            data = bytearray(data)
            data[gi:gi + 4] = int(count).to_bytes(4, "little", signed=True)
            with open(pkg, "wb") as f:
                f.write(data)
            without_package_record(pkg)
        return self.run_pkg(list(args), pkg=pkg, env=env, isolated=True, setup=setup)

    def record_run(self, r):
        args = tool_args(r.stdout)
        return args[0] if args else None


class PlatformCheck(FakeHost):
    def test_matching_record_runs_at_once(self):
        start = time.monotonic()
        r = self.run_on(self.host(redhat="Red Hat Enterprise Linux Server release 5.4 (Tikanga)\n"))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("", r.stderr)
        # Of two matching records, the earlier one.
        self.assertEqual("redhat5-64", self.record_run(r))
        self.assertLess(time.monotonic() - start, 4)
        r = self.run_on(self.host(uname="i386", redhat="release 5"))
        self.assertEqual("redhat5-32", self.record_run(r))
        r = self.run_on(self.host(uname="X86_64", suse="SUSE Linux\nVERSION = 10\n"))
        self.assertEqual("suse10", self.record_run(r))

    def test_pkgtool_host_names_what_the_launcher_matches(self):
        """pkgtool host says, in --record's words, what the launcher's own
        identification finds; a strict package of that one record runs."""
        hosts = {
            "rhel 9 on arm64": self.host(uname="unknown", os_release='ID="rhel"\n'
                                         'VERSION_ID="9.3"\n'),
            "sles 15": self.host(uname="x86_64", suse="SUSE Linux\nVERSION = 15\n"),
            "red hat 5": self.host(uname="i386", redhat="release 5.4 (Tikanga)\n"),
        }
        for name, setup in hosts.items():
            with self.subTest(host=name):
                r = subprocess.run(self.isolated([self.own_copy(PKGTOOL), "host"], setup=setup),
                                   capture_output=True, text=True)
                self.assertEqual(0, r.returncode, r.stderr)
                record = r.stdout.split()
                self.assertEqual(3, len(record), r.stdout)
                if name == "sles 15":
                    self.assertEqual(["suse", "15", "x86-64"], record)
                if name == "red hat 5":
                    self.assertEqual(["redhat", "5", "x86"], record)
                r = self.run_on(setup, strict=True,
                                records=[(*record, "1", "./tool", "this-host")])
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual("this-host", self.record_run(r))
        # A host no record can name: said, status 1.
        r = subprocess.run(self.isolated([self.own_copy(PKGTOOL), "host"],
                                         setup=self.host(uname="mips")),
                           capture_output=True, text=True)
        self.assertEqual((1, ""), (r.returncode, r.stdout))
        self.assertIn("this host is not one a record can name", r.stderr)

    def test_mismatch_warns_waits_and_runs_the_first_record(self):
        start = time.monotonic()
        r = self.run_on(self.host(suse="SUSE\nVERSION = 11\n"))
        elapsed = time.monotonic() - start
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(WARNING % ("SuSE", 11, "x86-64"), r.stderr)
        self.assertEqual("suse10", self.record_run(r))
        self.assertGreaterEqual(elapsed, 5)
        self.assertNoWorkDir()

    def test_strict_mismatch_refuses(self):
        only_redhat = [("redhat", "5", "x86-64", "0", "./tool", "")]
        r = self.run_on(self.host(suse="VERSION = 10\n"), records=only_redhat, strict=True)
        self.assertEqual(1, r.returncode)
        self.assertEqual(STRICT_WARNING % ("SuSE", 10, "x86-64"), r.stderr)
        self.assertEqual("", r.stdout)  # no banner
        self.assertNoWorkDir()
        r = self.run_on(self.host(suse="VERSION = 10\n"), args=("--extract", "out"),
                        records=only_redhat, strict=True)
        self.assertEqual(1, r.returncode)
        self.assertFalse(os.listdir(self.path("out")))
        r = self.run_on(self.host(suse="Novell Linux Desktop\nVERSION = 9\n"),
                        records=only_redhat, strict=True)
        self.assertEqual(STRICT_WARNING % ("Novell Linux Desktop", 9, "x86-64"), r.stderr)

    def test_identification_failures(self):
        setup = self.host(redhat="release 5", uname_status=1)
        r = self.run_on(setup, strict=True, env={"TRELL_PORTABLE_DEBUG": ""})
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed determining platform information: Failed executing uname.\n"
                         + STRICT_WARNING % ("Red Hat", 5, "Unknown"), r.stderr)
        r = self.run_on(setup, strict=True)
        self.assertEqual(STRICT_WARNING % ("Red Hat", 5, "Unknown"), r.stderr)
        r = self.run_on(self.host(os_release=ABSENT, usr_os_release=ABSENT), strict=True,
                        env={"TRELL_PORTABLE_DEBUG": "1"})
        self.assertEqual("Failed determining platform information: Unknown distribution.\n"
                         + STRICT_WARNING % ("Unknown", -1, "x86-64"), r.stderr)
        r = self.run_on(self.host(uname="i686", redhat="release 5"), strict=True,
                        env={"TRELL_PORTABLE_DEBUG": "1"})
        self.assertEqual("Failed determining platform information: "
                         "Unknown processor architecture (i686)\n"
                         + STRICT_WARNING % ("Red Hat", 5, "Unknown"), r.stderr)

    def test_record_counts(self):
        setup = self.host(redhat="release 5")
        r = self.run_on(setup, strict=True, count=0)
        self.assertEqual(1, r.returncode)
        self.assertEqual(STRICT_WARNING % ("Red Hat", 5, "x86-64"), r.stderr)
        r = self.run_on(setup, strict=True, count=-1)
        self.assertEqual((1, "", ""), (r.returncode, r.stderr, r.stdout))
        # Only the first record is compared when the count says one.
        r = self.run_on(setup, strict=True, count=1)
        self.assertEqual(1, r.returncode)
        r = self.run_on(setup, count=-1, env={"TRELL_PORTABLE_INTERACTIVE": ""})
        self.assertEqual("suse10", self.record_run(r))

    def test_interactive_skips_the_check(self):
        r = self.run_on(self.host(suse="VERSION = 10\n"), strict=True,
                        records=[("redhat", "5", "x86-64", "1", "./tool", "first")],
                        env={"TRELL_PORTABLE_INTERACTIVE": "", "TRELL_PORTABLE_DEBUG": ""})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("", r.stderr)
        self.assertEqual("first", self.record_run(r))

    def test_sigterm_during_the_pause(self):
        argv = self.isolated([self.pkg, "-v"], setup=self.host(suse="VERSION = 11\n"))
        p = subprocess.Popen(argv, env=self.env, cwd=self.dir, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        # The pause follows the warning's last line: the launcher has
        # written it all and sleeps.
        warned = read_until(p.stderr, "processor architecture = x86-64\n\n")
        self.assertTrue(warned.endswith("processor architecture = x86-64\n\n"), warned)
        self.assertTrue(self.wait_for(lambda: process_state(p.pid) in ("S", None)))
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=20)
        self.assertEqual(1, p.returncode)
        self.assertIn("WARNING!", warned + err)
        self.assertNotIn("Extracting...", out)
        self.assertNoWorkDir()


class PairArchives:
    """For tests of image pairs: two archives (self.x86, self.x64) whose
    tool shows the digest of the image.zip it was unpacked from and which
    archive it came from ("first-archive" or "second-archive")."""

    def make_pair_archives(self):
        show = TOOL.replace("exit ${TOOL_EXIT:-0}", "md5sum image.zip; cat which; exit 0")
        self.x86 = make_zip(self.path("x86.zip"), {"tool": show, "which": "first-archive\n"})
        self.x64 = make_zip(self.path("x64.zip"), {"tool": show, "which": "second-archive\n",
                                                    "pad": os.urandom(3000)})

    def md5(self, path):
        with open(path, "rb") as f:
            return hashlib.md5(f.read()).hexdigest()


class ImagePair(PairArchives, FakeHost):
    def setUp(self):
        super().setUp()
        self.make_pair_archives()
        self.pair = build_package(self.path("pair"), None, pair=(self.x86, self.x64))
        self.env["TRELL_PORTABLE_INTERACTIVE"] = ""

    def test_host_architecture_chooses_the_archive(self):
        r = self.run_on(self.host(uname="x86_64"), pkg=self.pair)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("second-archive", r.stdout)
        self.assertIn(self.md5(self.x64), r.stdout)
        r = self.run_on(self.host(uname="i386"), pkg=self.pair)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("first-archive", r.stdout)
        self.assertIn(self.md5(self.x86), r.stdout)

    def test_unknown_architecture_refuses(self):
        for uname in ("i686", "ppc64"):
            with self.subTest(uname=uname):
                r = self.run_on(self.host(uname=uname), pkg=self.pair)
                self.assertEqual(1, r.returncode)
                self.assertEqual("Failed determining platform architecture!\n"
                                 "Failed extracting portable image\n", r.stderr)
                self.assertNoWorkDir()

    def test_sizes_that_form_no_pair(self):
        elements, d = split_elements(self.pair)
        first, second = d[70], d[136]
        for name, f, s in (("nofirst", 0, second), ("nosecond", first, 0),
                           ("badsum", first, second - 1)):
            with self.subTest(name=name):
                pkg = assemble(self.path(name), elements, first=f, second=s)
                r = self.run_on(self.host(uname="i686"), pkg=pkg)
                # Element 4 whole is two archives back to back: the unzip
                # utility refuses it (miniunzip would take the second), and
                # the launcher fails, leaving nothing behind.
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertIn("tunzip: image.zip: ", r.stderr)
                self.assertIn("Failed executing", r.stderr)
                self.assertNotIn("second-archive", r.stdout)
                self.assertNoWorkDir()


if __name__ == "__main__":
    unittest.main()
