"""Runs of packages on the launcher and unzip utility of another
architecture, as a host of that architecture makes them: under Debian's
qemu-user-static through scripts/qemu-run.sh (a binfmt_misc instance of a
private user namespace, so that the unzip utility that the launcher's shell
starts runs under qemu too), on fake hosts in private mount namespaces."""
import errno
import os
import signal
import subprocess
import zipfile

from e2e_util import (NAMESPACES, NO_NAMESPACES, PKGTOOL, ROOT, TOOL, architectures, pkgtool,
                      split_elements, tool_args, tool_value, unpacking, unzip_running)
from pkg_util import write_tree
from test_platform import FakeHost

QEMU_RUN = os.path.join(ROOT, "scripts", "qemu-run.sh")
# The architectures whose stubs the build made beside pkgtool (cmake/cross.cmake).
CROSS_ARCHES = os.environ.get("TRELL_CROSS_ARCHES", " ".join(
    a["set"] for a in architectures() if a["build"] == "cross")).split()


def stub_paths(arch):
    """The launcher and unzip utility of the stub set arch (i386 ones may be
    named by the build's variables), as pkgtool --stubs arch finds them."""
    here = os.path.dirname(PKGTOOL)
    if arch == "i386":
        return (os.environ.get("TRELL_LAUNCHER_I386", os.path.join(here, "launcher-i386")),
                os.environ.get("TRELL_UNZIP_I386", os.path.join(here, "tunzip-i386")))
    return os.path.join(here, "launcher-" + arch), os.path.join(here, "tunzip-" + arch)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def runs_behind(prefix, unzip):
    """None when the unzip utility runs behind the argv prefix (it then says
    that no archive was given), else why it does not."""
    try:
        r = subprocess.run([*prefix, unzip], capture_output=True, text=True, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return "this kernel does not run the executable"
        return str(e)
    if r.returncode == 2 and r.stderr.startswith("tunzip: no archive given\n"):
        return None
    return r.stderr.strip() or "exit status %d" % r.returncode


class EmulatedRun(FakeHost):
    """Runs behind a way's argv prefix: isolated() puts it in front.
    Subclasses name the stub set (arch) and the ways of running it
    (name -> (argv prefix, None or why that way is not available))."""
    arch = None
    ways_of_running = {}
    prefix = []

    def setUp(self):
        launcher, unzip = stub_paths(self.arch)
        if not (os.path.exists(launcher) and os.path.exists(unzip)):
            self.skipTest("the %s launcher and unzip utility are not built" % self.arch)
        if not NAMESPACES:
            self.skipTest(NO_NAMESPACES)
        super().setUp()
        self.env["TRELL_PORTABLE_INTERACTIVE"] = ""

    def isolated(self, argv, pid1=False, setup=""):
        return [*self.prefix, *super().isolated(argv, pid1=pid1, setup=setup)]

    def ways(self):
        """The names of the ways of running the executables, each with
        isolated() set up for it; the ways that are not available are
        skipped subtests that say why.  Emulation is expected wherever the
        suite runs."""
        for name, (prefix, problem) in self.ways_of_running.items():
            if problem is not None:
                with self.subTest(way=name):
                    self.skipTest("%s executables do not run %s: %s" % (self.arch, name, problem))
                continue
            self.prefix = prefix
            yield name

    def package(self, name, records=None, image=None, pair=None, strict=False):
        """Builds a package on the stub set beside pkgtool."""
        out = self.path(name)
        args = ["build", "-o", out, "--stubs", self.arch]
        if strict:
            args.append("--strict")
        for r in records or [("redhat", "5", "x86", "0", "./tool", "")]:
            args += ["--record", *r]
        args += ["--image-pair", *pair] if pair else ["--image", image or self.image]
        pkgtool(*args)
        elements, _ = split_elements(out)
        self.assertEqual(read(stub_paths(self.arch)[0]), elements[0])
        return out

    def assertNothingLeft(self):
        """The private /tmp is as empty as before: no work directory, no
        uname output."""
        self.assertEqual([], os.listdir(self.tmp))

    def check_arguments_and_status(self, platform):
        """A package whose record names platform (distribution, release,
        architecture), run with arguments: the tool gets them after the
        record's own and its status is the run's.  Run without them, it
        also gets the start time, and its end by a signal is the run's."""
        pkg = self.package("args", records=[(*platform, "1", "./tool", "--first")])
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
                self.assertRegex(tool_value(r.stdout, "ZORVAN_QELPI_GUI_T") or "",
                                 r"^\d{14}\.\d{6}[+-]\d{3}$")
                self.assertNothingLeft()

    def check_extract(self):
        """--extract writes the image's files with their modes and runs
        nothing; a folder that cannot be made ends with 255."""
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


class InterruptWhileUnpacking(EmulatedRun):
    """SIGTERM while the emulated unzip utility writes a large image."""

    @classmethod
    def setUpClass(cls):
        cls.big = None
        if not NAMESPACES or not all(map(os.path.exists, stub_paths(cls.arch))):
            return
        # Deflated random hexadecimal text: long enough to inflate that a
        # signal comes while the unzip utility writes.
        cls.big = os.path.join("/var/tmp", "trell-e2e-%s-big-%d.zip" % (cls.arch, os.getpid()))
        with zipfile.ZipFile(cls.big, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            z.writestr("tool", TOOL)
            for i in range(24):
                z.writestr("big%02d" % i, os.urandom(2 << 20).hex())

    @classmethod
    def tearDownClass(cls):
        if cls.big:
            os.unlink(cls.big)

    def interrupt(self, pkg, group):
        """Sends SIGTERM while the unzip utility writes, to the launcher
        alone or to its whole group.  Result: whether the utility was still
        running then, and the run's status and output."""
        p = self.start_pkg([], pkg=pkg, env={"TOOL_EXIT": "5"})
        try:
            # Ends early (True) when the run ends before it was seen.
            work = self.wait_for(lambda: p.poll() is not None or unpacking(self.tmp),
                                 timeout=120, interval=0.001)
            self.assertIsInstance(work, str, "the unzip utility was never seen writing")
            if group:
                hit = unzip_running(work=work)
                os.killpg(p.pid, signal.SIGTERM)
            else:
                p.send_signal(signal.SIGTERM)
                hit = unzip_running(work=work)
            out, err = p.communicate(timeout=300)
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        return hit, p.returncode, out, err

    def check_sigterm_while_unpacking(self):
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
