"""Packages on the i386 launcher and unzip utility (pkgtool build --stubs
i386).  pkgtool's side needs no 32-bit host: which executables a package
gets, what info and verify say of them, the warning for an image pair on
x86-64 ones.  The runs are made as a 32-bit x86 host makes them: under
Debian's qemu-i386-static through scripts/qemu-run.sh (a binfmt_misc
instance of a private user namespace, so that the unzip utility that the
launcher's shell starts runs under qemu too), and natively as well where
this kernel runs i386 executables itself (an x86-64 host with 32-bit
support).  Hosts are faked in private mount namespaces: release files over
/etc, a uname that names the architecture."""
import errno
import hashlib
import json
import os
import signal
import subprocess
import time
import unittest
import zipfile

from e2e_util import (LAUNCHER, NAMESPACES, NO_NAMESPACES, PKGTOOL, ROOT, TOOL, UNZIP, E2ETest,
                      make_zip, pkgtool, split_elements, tool_args, tool_value)
from install_util import project_version
from pkg_util import write_tree
from test_platform import FakeHost

LAUNCHER_I386 = os.environ.get("TRELL_LAUNCHER_I386",
                               os.path.join(ROOT, "build", "bin", "launcher-i386"))
UNZIP_I386 = os.environ.get("TRELL_UNZIP_I386", os.path.join(ROOT, "build", "bin", "tunzip-i386"))
I386_RUN = [os.path.join(ROOT, "scripts", "qemu-run.sh"), "i386"]
BUILT = os.path.exists(LAUNCHER_I386) and os.path.exists(UNZIP_I386)
NOT_BUILT = "the i386 launcher and unzip utility are not built (TRELL_I386_STUBS=OFF)"
PAIR_WARNING = "warning: the image pair's x86 image can never run: "


def i386_runs(prefix):
    """None when tunzip-i386 runs behind the argv prefix (it then says that
    no archive was given), else why it does not."""
    try:
        r = subprocess.run([*prefix, UNZIP_I386], capture_output=True, text=True, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return "this kernel runs no i386 executable"
        return str(e)
    if r.returncode == 2 and r.stderr.startswith("tunzip: no archive given\n"):
        return None
    return r.stderr.strip() or "exit status %d" % r.returncode


# The ways of running i386 executables here: name -> (argv prefix, None or
# why that way is not available).
WAYS = {}
if BUILT:
    WAYS = {"qemu": (I386_RUN, i386_runs(I386_RUN)), "native": ([], i386_runs([]))}


def pkg_tool(*args):
    return subprocess.run([PKGTOOL, *args], capture_output=True, text=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


@unittest.skipUnless(BUILT, NOT_BUILT)
class StubChoice(E2ETest):
    """pkgtool build --stubs, and what info and verify say of the stubs."""

    def build(self, name, *extra, pair=None):
        out = self.path(name)
        args = ["build", "-o", out, *extra, "--record", "redhat", "5", "x86", "0", "./tool", ""]
        args += ["--image-pair", *pair] if pair else ["--image", self.image]
        return out, pkg_tool(*args)

    def test_stubs_i386_takes_the_i386_executables_beside_pkgtool(self):
        out, r = self.build("p32", "--stubs", "i386")
        self.assertEqual((0, ""), (r.returncode, r.stderr))
        elements, _ = split_elements(out)
        self.assertEqual(read(LAUNCHER_I386), elements[0])
        self.assertEqual(read(UNZIP_I386), elements[1])
        info = json.loads(pkg_tool("info", out, "--json").stdout)
        for element, facts in enumerate(info["executables"]):
            # The i386 stubs carry the project's version as the x86-64 ones do.
            self.assertEqual({"element": element, "elf": True, "version": project_version(),
                              "class": 32,
                              "byte_order": "little", "machine": "i386", "machine_code": 3,
                              "static": True, "interpreter": None, "needed": [],
                              "glibc": None}, facts)
        text = pkg_tool("info", out).stdout
        self.assertIn("  element 0 (the launcher): ELF32 i386, static\n", text)
        self.assertIn("  element 1 (the unzip utility): ELF32 i386, static\n", text)
        v = pkg_tool("verify", out)
        self.assertEqual((0, ""), (v.returncode, v.stderr))
        self.assertEqual("%s: element 0 (the launcher): ELF32 i386, static\n"
                         "%s: element 1 (the unzip utility): ELF32 i386, static\n"
                         "%s: OK\n" % (out, out, out), v.stdout)

    def test_explicit_executables_win_and_x86_64_is_the_default(self):
        out, r = self.build("mixed", "--stubs", "i386", "--stub", LAUNCHER)
        self.assertEqual(0, r.returncode, r.stderr)
        elements, _ = split_elements(out)
        self.assertEqual((read(LAUNCHER), read(UNZIP_I386)), (elements[0], elements[1]))
        for name, extra in (("default", ()), ("named", ("--stubs", "x86-64"))):
            with self.subTest(name):
                out, r = self.build(name, *extra)
                self.assertEqual(0, r.returncode, r.stderr)
                elements, _ = split_elements(out)
                self.assertEqual((read(LAUNCHER), read(UNZIP)), (elements[0], elements[1]))

    def test_unknown_stub_set_is_refused(self):
        for value in ("x86", "I386", "arm64", ""):
            with self.subTest(value=value):
                out, r = self.build("bad-" + value, "--stubs", value)
                self.assertEqual(2, r.returncode)
                self.assertIn("pkgtool: build: --stubs takes one of x86-64, i386, not '%s'\n"
                              % value, r.stderr)
                self.assertFalse(os.path.exists(out))

    def test_an_image_pair_on_x86_64_executables_is_warned_of(self):
        other = make_zip(self.path("other.zip"), {"tool": TOOL, "more": "x"})
        pair = (self.image, other)
        both = "element 0 (the launcher) and element 1 (the unzip utility) are x86-64 executables"
        cases = [("x64", (), both),
                 ("unzip64", ("--stubs", "i386", "--unzip", UNZIP),
                  "element 1 (the unzip utility) is an x86-64 executable,"),
                 ("launcher64", ("--stubs", "i386", "--stub", LAUNCHER),
                  "element 0 (the launcher) is an x86-64 executable,"),
                 ("i386", ("--stubs", "i386"), None)]
        for name, extra, named in cases:
            with self.subTest(name):
                out, build = self.build(name, *extra, pair=pair)
                self.assertEqual(0, build.returncode, build.stderr)
                v = pkg_tool("verify", out)
                self.assertEqual(0, v.returncode, v.stderr)
                self.assertTrue(v.stdout.endswith(out + ": OK\n"), v.stdout)
                for stderr, prefix in ((build.stderr, "pkgtool: "),
                                       (v.stderr, "pkgtool: %s: " % out)):
                    warned = [l for l in stderr.splitlines() if PAIR_WARNING in l]
                    if named is None:
                        self.assertEqual([], warned)
                        continue
                    self.assertEqual(1, len(warned), stderr)
                    self.assertTrue(warned[0].startswith(prefix + PAIR_WARNING + named),
                                    warned[0])
                    self.assertIn("no 32-bit x86 host runs", warned[0])
                    self.assertIn("--stubs i386", warned[0])
        # A single image on x86-64 executables is no such case.
        out, build = self.build("single64")
        self.assertNotIn(PAIR_WARNING, build.stderr + pkg_tool("verify", out).stderr)


class I386Run(FakeHost):
    """Runs behind a way's argv prefix: isolated() puts it in front."""
    prefix = []

    def setUp(self):
        if not BUILT:
            self.skipTest(NOT_BUILT)
        if not NAMESPACES:
            self.skipTest(NO_NAMESPACES)
        super().setUp()
        self.env["TRELL_PORTABLE_INTERACTIVE"] = ""

    def isolated(self, argv, pid1=False, setup=""):
        return [*self.prefix, *super().isolated(argv, pid1=pid1, setup=setup)]

    def ways(self):
        """The names of the ways of running i386 executables, each with
        isolated() set up for it; the ways that are not available are
        skipped subtests that say why.  Emulation is expected wherever the
        suite runs."""
        for name, (prefix, problem) in WAYS.items():
            if problem is not None:
                with self.subTest(way=name):
                    self.skipTest("i386 executables do not run %s: %s" % (name, problem))
                continue
            self.prefix = prefix
            yield name

    def package(self, name, records=None, image=None, pair=None):
        """Builds a package on the i386 executables beside pkgtool."""
        out = self.path(name)
        args = ["build", "-o", out, "--stubs", "i386"]
        for r in records or [("redhat", "5", "x86", "0", "./tool", "")]:
            args += ["--record", *r]
        args += ["--image-pair", *pair] if pair else ["--image", image or self.image]
        pkgtool(*args)
        elements, _ = split_elements(out)
        self.assertEqual(read(LAUNCHER_I386), elements[0])
        return out

    def assertNothingLeft(self):
        """The private /tmp is as empty as before: no work directory, no
        uname output."""
        self.assertEqual([], os.listdir(self.tmp))


class ImagePairOnI386(I386Run):
    def setUp(self):
        super().setUp()
        del self.env["TRELL_PORTABLE_INTERACTIVE"]  # the platform check runs
        show = TOOL.replace("exit ${TOOL_EXIT:-0}", "md5sum image.zip; cat which; exit 0")
        self.x86 = make_zip(self.path("x86.zip"), {"tool": show, "which": "first-archive\n"})
        self.x64 = make_zip(self.path("x64.zip"), {"tool": show, "which": "second-archive\n",
                                                    "pad": os.urandom(3000)})
        records = [("redhat", "5", "x86", "1", "./tool", "redhat5-32"),
                   ("redhat", "5", "x86-64", "1", "./tool", "redhat5-64")]
        self.pair = self.package("pair", records=records, pair=(self.x86, self.x64))

    def md5(self, path):
        return hashlib.md5(read(path)).hexdigest()

    def test_the_host_architecture_chooses_record_and_image(self):
        for way in self.ways():
            with self.subTest(way=way):
                for uname, record, archive, which in (
                        ("i386", "redhat5-32", self.x86, "first-archive"),
                        ("x86_64", "redhat5-64", self.x64, "second-archive")):
                    with self.subTest(uname=uname):
                        r = self.run_on(self.host(uname=uname, redhat="release 5.4 (x)\n"),
                                        pkg=self.pair)
                        self.assertEqual((0, ""), (r.returncode, r.stderr), r.stdout)
                        self.assertEqual(record, tool_args(r.stdout)[0])
                        self.assertIn(self.md5(archive) + "  image.zip\n", r.stdout)
                        self.assertIn("\n%s\n" % which, r.stdout)
                        self.assertNothingLeft()

    def test_an_unknown_architecture_refuses(self):
        for way in self.ways():
            with self.subTest(way=way):
                r = self.run_on(self.host(uname="i686", redhat="release 5\n"), pkg=self.pair,
                                env={"TRELL_PORTABLE_INTERACTIVE": ""})
                self.assertEqual(1, r.returncode)
                self.assertEqual("Failed determining platform architecture!\n"
                                 "Failed extracting portable image\n", r.stderr)
                self.assertNothingLeft()


class RunsOnI386(I386Run):
    def test_arguments_and_status(self):
        pkg = self.package("args", records=[("redhat", "5", "x86", "1", "./tool", "--first")])
        for way in self.ways():
            with self.subTest(way=way):
                r = self.run_pkg(["x", "-d", "a b"], pkg=pkg, isolated=True,
                                 env={"TOOL_EXIT": "7"})
                self.assertEqual(7, r.returncode, r.stdout + r.stderr)
                self.assertEqual(["--first", "x", "-d", "a b"], tool_args(r.stdout))
                self.assertEqual("en", tool_value(r.stdout, "ZoveziZurArivid"))
                self.assertEqual(self.dir, tool_value(r.stdout, "ZORVAN_PORTABLE_EXEC_DIR"))
                self.assertIsNone(tool_value(r.stdout, "ZORVAN_QELPI_GUI_T"))
                self.assertNothingLeft()
                r = self.run_pkg([], pkg=pkg, isolated=True, env={"TOOL_KILL": "TERM"})
                self.assertEqual(128 + signal.SIGTERM, r.returncode, r.stdout + r.stderr)
                self.assertNothingLeft()

    def test_start_timestamp(self):
        # Started without arguments, the launcher reads the clock and the
        # kernel's time zone (a 32-bit call on i386): the stamp is now, in
        # local time, with the same zone offset as the x86-64 launcher's.
        pkg = self.package("stamp")
        reference = self.run_pkg([], env={"TOOL_EXIT": "0"})
        expected_zone = tool_value(reference.stdout, "ZORVAN_QELPI_GUI_T")[-4:]
        for way in self.ways():
            with self.subTest(way=way):
                r = self.run_pkg([], pkg=pkg, isolated=True)
                self.assertEqual(0, r.returncode, r.stdout + r.stderr)
                stamp = tool_value(r.stdout, "ZORVAN_QELPI_GUI_T")
                self.assertRegex(stamp or "", r"^\d{14}\.\d{6}[+-]\d{3}$")
                self.assertEqual(expected_zone, stamp[-4:])
                when = time.mktime(time.strptime(stamp[:14], "%Y%m%d%H%M%S"))
                self.assertLess(abs(time.time() - when), 120, stamp)
                self.assertNothingLeft()

    def test_extract(self):
        tree = write_tree(self.path("tree"), {"tool": TOOL, "bin/helper": "#!/bin/sh\necho h\n",
                                              "data/a b.txt": "payload\n" * 200, "empty/": None})
        pkg = self.package("extract", image=tree)
        for way in self.ways():
            with self.subTest(way=way):
                out = self.path("out-" + way, "x")
                r = self.run_pkg(["--extract", out], pkg=pkg, isolated=True)
                self.assertEqual(0, r.returncode, r.stdout + r.stderr)
                self.assertNotIn("tool:", r.stdout)  # nothing run
                self.assertEqual(read(os.path.join(tree, "data", "a b.txt")),
                                 read(os.path.join(out, "data", "a b.txt")))
                for name, mode in (("bin/helper", 0o755), ("data/a b.txt", 0o644)):
                    self.assertEqual(mode, os.stat(os.path.join(out, name)).st_mode & 0o7777)
                self.assertEqual(["bin", "data", "empty", "tool"], sorted(os.listdir(out)))
                self.assertNothingLeft()
                # A folder that cannot be made: 255, before any work directory.
                r = self.run_pkg(["--extract", "/proc/no/such"], pkg=pkg, isolated=True)
                self.assertEqual(255, r.returncode, r.stdout + r.stderr)
                self.assertNothingLeft()


class InterruptOnI386(I386Run):
    @classmethod
    def setUpClass(cls):
        cls.big = None
        if not BUILT or not NAMESPACES:
            return
        # Deflated random hexadecimal text: long enough to inflate that a
        # signal comes while the unzip utility writes.
        cls.big = os.path.join("/var/tmp", "trell-e2e-i386-big-%d.zip" % os.getpid())
        with zipfile.ZipFile(cls.big, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            z.writestr("tool", TOOL)
            for i in range(24):
                z.writestr("big%02d" % i, os.urandom(2 << 20).hex())

    @classmethod
    def tearDownClass(cls):
        if cls.big:
            os.unlink(cls.big)

    def unzip_running(self, work):
        """True while the unzip utility runs in the work directory: a
        process whose command line carries the launcher's "-o image.zip"
        (after qemu's own name under emulation)."""
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    cmdline = f.read()
                if b"\0-o\0image.zip" in cmdline and \
                        os.path.basename(os.readlink("/proc/%s/cwd" % pid)) == work:
                    return True
            except OSError:
                continue
        return False

    def unpacking(self):
        """The work directory's name while entries are being written into
        it by the running unzip utility, else None."""
        for work in os.listdir(self.tmp):
            try:
                names = os.listdir(os.path.join(self.tmp, work))
            except OSError:
                continue
            if any(n.startswith("big") for n in names) and self.unzip_running(work):
                return work
        return None

    def interrupt(self, pkg, group):
        """Sends SIGTERM while the unzip utility writes, to the launcher
        alone or to its whole group.  Result: whether the utility was still
        running then, and the run's status and output."""
        p = self.start_pkg([], pkg=pkg, env={"TOOL_EXIT": "5"})
        try:
            work = None
            end = time.monotonic() + 120
            while work is None and time.monotonic() < end and p.poll() is None:
                work = self.unpacking()
                time.sleep(0.001)
            self.assertIsNotNone(work, "the unzip utility was never seen writing")
            if group:
                hit = self.unzip_running(work)
                os.killpg(p.pid, signal.SIGTERM)
            else:
                p.send_signal(signal.SIGTERM)
                hit = self.unzip_running(work)
            out, err = p.communicate(timeout=300)
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        return hit, p.returncode, out, err

    def test_sigterm_while_unpacking(self):
        pkg = self.package("big", image=self.big)
        # To the launcher alone, the signal is recorded and the run goes on:
        # the tool's status counts.  To the whole group (as from a terminal),
        # it ends the unzip utility too: the run fails, the tool never runs.
        for way in self.ways():
            with self.subTest(way=way):
                for group, status in ((False, 5), (True, 1)):
                    with self.subTest(group=group):
                        for attempt in range(3):
                            hit, code, out, err = self.interrupt(pkg, group)
                            self.assertEqual(status, code, out + err)
                            self.assertIn("Extracting...", out)
                            self.assertEqual(not group, "Executing..." in out, out)
                            self.assertEqual(not group, "tool: 0 args" in out, out)
                            self.assertNothingLeft()
                            if hit:
                                break
                        self.assertTrue(hit, "the signal never came while the unzip utility ran")


if __name__ == "__main__":
    unittest.main()
