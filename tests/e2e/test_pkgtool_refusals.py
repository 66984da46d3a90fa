"""What pkgtool refuses to vouch for: hostile image-pair sizes, images that
cannot run, inputs and outputs that are no regular files, names the
launcher's "chmod 777 *" misreads, terminal escapes in record texts, and
the temporary file of an interrupted build."""
import os
import resource
import signal
import stat
import struct
import subprocess
import unittest
import zipfile

from e2e_util import LAUNCHER, PKGTOOL, TOOL, UNZIP, E2ETest, assemble, record_bytes
from pkg_util import (build_args, copy_launcher_and_unzip, run_pkgtool, without_host_needs,
                      write_tree, zip_bytes)


def sanitized(path):
    r = subprocess.run(["readelf", "-d", path], capture_output=True, text=True)
    return "libasan" in r.stdout or "libubsan" in r.stdout


PKGTOOL_SANITIZED = sanitized(PKGTOOL)
CRASH_TEXTS = ("terminate called", "std::bad_alloc", "Aborted", "core dumped")


class RefusalTest(E2ETest):
    def setUp(self):
        super().setUp()
        self.launcher, self.unzip = copy_launcher_and_unzip()

    def assemble_pkg(self, name, image=None, table=None, first=0, second=0, info=None):
        elements = [self.launcher, self.unzip,
                    struct.pack("<ii", 1, 0) if info is None else info,
                    record_bytes() if table is None else table,
                    zip_bytes({"tool": TOOL}) if image is None else image]
        return assemble(self.path(name), elements, first, second)

    def assertRefused(self, r, message, lines=1):
        """Status 1, no crash, and the message on exactly `lines` lines of
        standard error (warnings about dynamic executables aside)."""
        self.assertEqual(1, r.returncode, r.stdout + r.stderr)
        err = without_host_needs(r.stderr)
        for text in CRASH_TEXTS:
            self.assertNotIn(text, err)
        self.assertEqual(lines, len(err.splitlines()), err)
        self.assertIn(message, err)

    def leftovers(self, prefix):
        return sorted(n for n in os.listdir(self.dir) if n.startswith(prefix))


class ImagePairSizes(RefusalTest):
    """Only two positive sizes that add up to element 4 make a pair, the
    launcher's rule; anything else is one image, and a negative size is
    a fault the launcher refuses."""

    def test_hostile_pair_sizes(self):
        image = zip_bytes({"tool": TOOL})
        n = len(image)
        # Adds up to element 4 through a negative second size; read as a
        # pair this asked for 2 GB.
        huge = self.assemble_pkg("huge", image=image, first=0x7FFFFFFF, second=n - 0x7FFFFFFF)
        minus = self.assemble_pkg("minus", image=image, first=-1, second=n + 1)
        for pkg, first, second in ((huge, 0x7FFFFFFF, n - 0x7FFFFFFF), (minus, -1, n + 1)):
            with self.subTest(pkg=pkg):
                info = run_pkgtool("info", pkg)
                self.assertIn("image sizes: first %d, second %d (single image)"
                              % (first, second), info.stdout)
                self.assertNotIn("image pair", info.stdout)
                self.assertEqual(1, info.returncode)
                self.assertIn("image size %d is negative" % min(first, second), info.stderr)
                r = run_pkgtool("verify", pkg)
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertIn("image size %d is negative" % min(first, second), r.stderr)
                for text in CRASH_TEXTS:
                    self.assertNotIn(text, r.stderr)
                # The launcher refuses it too.
                run = self.run_pkg(["x"], pkg=pkg)
                self.assertEqual(1, run.returncode)
                self.assertIn("Invalid package directory", run.stderr)

    @unittest.skipIf(PKGTOOL_SANITIZED, "the sanitizers' run-time needs more address space")
    def test_out_of_memory_is_one_line(self):
        # With too little address space for the image, the failure is a
        # message and status 1, never an uncaught exception.
        blob = os.urandom(1 << 20) * 64
        big = self.assemble_pkg("big", image=zip_bytes({"tool": TOOL, "blob": blob},
                                                       method=zipfile.ZIP_STORED))
        limit = 40 << 20

        def preexec():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        for command in ("list", "verify"):
            with self.subTest(command=command):
                r = subprocess.run([PKGTOOL, command, big], capture_output=True, text=True,
                                   preexec_fn=preexec)
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertIn("pkgtool: ", r.stderr)
                self.assertIn("out of memory", r.stderr)


class ListRefusals(RefusalTest):
    """list and unpack show no image of a package that the launcher refuses,
    and say why in the lines info prints."""

    def test_what_the_launcher_refuses_lists_nothing(self):
        image = zip_bytes({"tool": TOOL})
        n = len(image)
        cases = [
            ("minus", dict(image=image, first=-1, second=n + 1), "Invalid package directory"),
            ("huge", dict(image=image, first=0x7FFFFFFF, second=n - 0x7FFFFFFF),
             "Invalid package directory"),
            ("short-info", dict(info=struct.pack("<i", 1)), "Failed extracting global info"),
            ("count", dict(info=struct.pack("<ii", 2, 0)), "Invalid command table"),
            ("no-record", dict(table=b""), "Invalid command table"),
        ]
        for name, parts, launcher_says in cases:
            with self.subTest(name=name):
                pkg = self.assemble_pkg(name, **parts)
                run = self.run_pkg(["x"], pkg=pkg)
                self.assertEqual(1, run.returncode, run.stdout)
                self.assertIn(launcher_says, run.stderr)
                info = without_host_needs(run_pkgtool("info", pkg).stderr)
                self.assertTrue(info.startswith("pkgtool: %s: " % pkg), info)
                out = self.path(name + ".out")
                for args in (["list", pkg], ["list", pkg, "--arch", "x86"],
                             ["unpack", pkg, out]):
                    r = run_pkgtool(*args)
                    self.assertEqual(1, r.returncode, r.stdout)
                    self.assertEqual("", r.stdout)
                    self.assertEqual(info, without_host_needs(r.stderr), args)
                self.assertFalse(os.path.exists(out))
        # A sound pair still lists both archives.
        pair = self.assemble_pkg("pair", image=image + image, first=n, second=n)
        r = run_pkgtool("list", pair)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("x86 image: 1 entries", r.stdout)
        self.assertIn("x86-64 image: 1 entries", r.stdout)


def without_pair_warning(stderr):
    """pkgtool's standard error less the host-needs warnings and the
    warnings that a pair's x86 image, and a record for x86, ride on x86-64
    executables."""
    return "".join(l for l in without_host_needs(stderr).splitlines(True)
                   if "x86 image can never run" not in l and
                   "no x86 host runs element 0 (the launcher), built for x86-64" not in l)


class ImagesThatCannotRun(RefusalTest):
    def test_verify_fails_an_image_the_command_cannot_run_from(self):
        folder_image = zip_bytes({"tool/": "", "tool/x": "x"})
        cases = [
            ("empty zip", self.assemble_pkg("empty", image=zip_bytes({})),
             "image: it holds no entries: there is nothing to run"),
            ("command missing", self.assemble_pkg(
                "missing", table=record_bytes(command="./other --flag")),
             "record 1: command './other' names no file in the image"),
            ("command a folder", self.assemble_pkg("folder", image=folder_image),
             "record 1: command './tool' names a folder of the image, not a file"),
            ("command outside", self.assemble_pkg(
                "outside", table=record_bytes(command="./../tool")),
             "record 1: command './../tool' leaves the image"),
            ("zero-byte image", self.assemble_pkg("zero", image=b""),
             "image: not a zip archive"),
        ]
        for name, pkg, message in cases:
            with self.subTest(name):
                r = run_pkgtool("verify", pkg)
                self.assertEqual(1, r.returncode, r.stdout + r.stderr)
                self.assertNotIn("OK", r.stdout)
                self.assertIn("pkgtool: %s: %s" % (pkg, message), r.stderr)
                self.assertNotIn("warning: record 1", r.stderr)
                # What verify fails, a run fails too.
                run = self.run_pkg([], pkg=pkg)
                self.assertNotEqual(0, run.returncode, run.stdout)

    def test_build_refuses_an_empty_zip(self):
        empty = self.path("empty.zip")
        with open(empty, "wb") as f:
            f.write(zip_bytes({}))
        r = run_pkgtool(*build_args(self.path("out.pkg"), empty))
        self.assertRefused(r, "the image %s: it holds no entries" % empty)
        self.assertEqual([], self.leftovers("out.pkg"))
        # A missing command is only a warning for build; verify fails it.
        r = run_pkgtool(*build_args(self.path("out.pkg"), self.image, records=[
            ("redhat", "5", "x86-64", "0", "./other", "")]))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("pkgtool: warning: record 1: command './other' names no file in the image",
                      r.stderr)
        self.assertEqual(1, run_pkgtool("verify", self.path("out.pkg")).returncode)

    def test_pair_names_the_archive_without_the_command(self):
        a = zip_bytes({"tool": TOOL})
        b = zip_bytes({"other": TOOL})
        pkg = self.assemble_pkg("pair", image=a + b, first=len(a), second=len(b))
        r = run_pkgtool("verify", pkg)
        self.assertEqual(1, r.returncode)
        err = without_pair_warning(r.stderr).splitlines()
        self.assertEqual(["pkgtool: %s: record 1: command './tool' names no file in the image "
                          "(x86-64 image)" % pkg], err)
        # A record for x86 runs only with the x86 archive; the first record,
        # the fall-back, with either.
        a = zip_bytes({"tool": TOOL, "tool32": TOOL})
        b = zip_bytes({"tool": TOOL})
        table = record_bytes() + record_bytes(arch=1, command="./tool32")
        pkg = self.assemble_pkg("pair32", image=a + b, first=len(a), second=len(b), table=table,
                                info=struct.pack("<ii", 2, 0))
        r = run_pkgtool("verify", pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("", without_pair_warning(r.stderr))


class NonRegularInputs(RefusalTest):
    def test_stub_and_unzip_must_be_regular_files(self):
        folder = self.path("afolder")
        os.mkdir(folder)
        for option in ("--stub", "--unzip"):
            for bad in (folder, "/dev/zero", "/proc/self/mem"):
                with self.subTest(option=option, input=bad):
                    out = self.path("out.pkg")
                    r = run_pkgtool(*build_args(out, self.image, extra=(option, bad)))
                    self.assertRefused(r, bad)
                    self.assertTrue(r.stderr.startswith("pkgtool: "), r.stderr)
                    self.assertEqual([], self.leftovers("out.pkg"))

    def test_image_from_a_special_file(self):
        for bad in ("/dev/zero", "/proc/self/mem"):
            with self.subTest(input=bad):
                r = run_pkgtool(*build_args(self.path("out.pkg"), bad))
                self.assertRefused(r, bad)
                self.assertEqual([], self.leftovers("out.pkg"))

    def test_reading_a_fifo_does_not_block(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for command in (["info"], ["info", "--json"], ["verify"], ["list"],
                        ["unpack", "--arch", "x86"]):
            with self.subTest(command=command):
                argv = [PKGTOOL, command[0], fifo, *command[1:]]
                if command[0] == "unpack":
                    argv.insert(3, self.path("into"))
                r = subprocess.run(argv, capture_output=True, text=True, timeout=20)
                self.assertEqual(1, r.returncode, r.stderr)
                self.assertIn("%s: it is a FIFO, not a regular file" % fifo, r.stderr)
                self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        for special in ("/dev/zero", self.dir):
            with self.subTest(input=special):
                r = subprocess.run([PKGTOOL, "verify", special], capture_output=True, text=True,
                                   timeout=20)
                self.assertRefused(r, special)


class Outputs(RefusalTest):
    def build_over(self, out):
        return run_pkgtool(*build_args(out, self.image))

    def test_existing_output_must_be_a_regular_file(self):
        fifo = self.path("fifo.pkg")
        os.mkfifo(fifo)
        folder = self.path("folder.pkg")
        os.mkdir(folder)
        target = self.path("target")
        with open(target, "w") as f:
            f.write("untouched")
        link = self.path("link.pkg")
        os.symlink(target, link)
        dangling = self.path("dangling.pkg")
        os.symlink(self.path("nowhere"), dangling)
        cases = [(fifo, stat.S_ISFIFO, "is a FIFO, not a regular file"),
                 (folder, stat.S_ISDIR, "is a folder, not a regular file"),
                 (link, stat.S_ISLNK, "is a symbolic link"),
                 (dangling, stat.S_ISLNK, "is a symbolic link")]
        if os.geteuid() == 0:
            device = self.path("device.pkg")
            os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # like /dev/null
            cases.append((device, stat.S_ISCHR, "is a device, not a regular file"))
        for out, kind, message in cases:
            with self.subTest(out=out):
                r = self.build_over(out)
                self.assertRefused(r, "cannot write %s: it %s" % (out, message))
                self.assertTrue(kind(os.lstat(out).st_mode), out)
                self.assertEqual([os.path.basename(out)], self.leftovers(os.path.basename(out)))
        with open(target) as f:
            self.assertEqual("untouched", f.read())
        self.assertFalse(os.path.exists(self.path("nowhere")))
        # A regular file is replaced, as before.
        regular = self.path("regular.pkg")
        with open(regular, "w") as f:
            f.write("old")
        r = self.build_over(regular)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(0, run_pkgtool("verify", regular).returncode)


class InterruptedBuild(RefusalTest):
    """A build stopped by a signal leaves neither its temporary file nor an
    output, and ends by that signal."""

    @classmethod
    def setUpClass(cls):
        import tempfile
        cls.big_dir = tempfile.mkdtemp(prefix="trell-e2e-big-", dir="/var/tmp")
        # Random data does not compress: the build writes all of it.
        cls.big = os.path.join(cls.big_dir, "big.zip")
        with zipfile.ZipFile(cls.big, "w", zipfile.ZIP_STORED) as z:
            z.writestr("tool", TOOL)
            for i in range(4):
                z.writestr("blob%d" % i, os.urandom(40 << 20))

    @classmethod
    def tearDownClass(cls):
        import shutil
        shutil.rmtree(cls.big_dir, ignore_errors=True)

    def start_build(self, out, ignore_hup=False):
        def preexec():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # SIGQUIT dumps no core
            if ignore_hup:
                signal.signal(signal.SIGHUP, signal.SIG_IGN)

        return subprocess.Popen([PKGTOOL, *build_args(out, self.big)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, preexec_fn=preexec,
                                cwd=self.dir)

    def signal_while_writing(self, proc, sig, prefix):
        """Sends sig once the temporary file exists.  Result: True if it
        was sent while the build was writing."""
        writing = self.wait_for(lambda: "ended" if proc.poll() is not None else
                                any(n != prefix for n in self.leftovers(prefix)),
                                timeout=60, interval=0.001)
        if writing is not True:
            return False
        proc.send_signal(sig)
        return True

    def test_signals_remove_the_temporary_file(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                    signal.SIGPIPE):
            with self.subTest(signal=sig.name):
                out = self.path("out-%s.pkg" % sig.name)
                proc = self.start_build(out)
                sent = self.signal_while_writing(proc, sig, os.path.basename(out))
                _, err = proc.communicate(timeout=120)
                self.assertTrue(sent, "the build ended before its temporary file was seen: "
                                + err)
                self.assertEqual(-sig, proc.returncode, err)
                self.assertEqual([], self.leftovers(os.path.basename(out)))

    def test_an_ignored_hangup_stays_ignored(self):
        out = self.path("nohup.pkg")
        proc = self.start_build(out, ignore_hup=True)
        sent = self.signal_while_writing(proc, signal.SIGHUP, "nohup.pkg")
        _, err = proc.communicate(timeout=120)
        self.assertTrue(sent, err)
        self.assertEqual(0, proc.returncode, err)
        self.assertEqual(["nohup.pkg"], self.leftovers("nohup.pkg"))
        self.assertEqual(0, run_pkgtool("verify", out).returncode)


class DashNames(RefusalTest):
    """A top-level entry named like an option: "chmod 777 *" would take it
    for one and leave the tool without its execute bits."""

    def test_build_refuses_and_verify_reports(self):
        folder = write_tree(self.path("f"), {"tool": TOOL, "-x": "x"})
        r = run_pkgtool(*build_args(self.path("a.pkg"), folder))
        self.assertRefused(r, "entry '-x' begins with \"-\"")
        self.assertIn("chmod 777 *", r.stderr)
        self.assertEqual([], self.leftovers("a.pkg"))
        # From a zip, also when only a path below names the top-level folder.
        zipped = self.path("dash.zip")
        with open(zipped, "wb") as f:
            f.write(zip_bytes({"tool": TOOL, "--recursive/file": "x"}))
        r = run_pkgtool(*build_args(self.path("b.pkg"), zipped))
        self.assertRefused(r, "entry '--recursive' begins with \"-\"")
        # Deeper names are not read by the shell's "*".
        deep = write_tree(self.path("g"), {"tool": TOOL, "sub/-x": "x"})
        r = run_pkgtool(*build_args(self.path("c.pkg"), deep))
        self.assertEqual(0, r.returncode, r.stderr)
        pkg = self.assemble_pkg("dash.pkg", image=zip_bytes({"tool": TOOL, "-x": "x"}))
        r = run_pkgtool("verify", pkg)
        self.assertRefused(r, "pkgtool: %s: image: entry '-x' begins with \"-\"" % pkg)
        # Why it matters: such a package does not run.
        run = self.run_pkg([], pkg=pkg, env={"TRELL_PORTABLE_INTERACTIVE": ""})
        self.assertNotEqual(0, run.returncode)


class EscapedTexts(RefusalTest):
    def test_record_texts_are_escaped(self):
        table = (record_bytes(command="./tool\x1b[2J", args="\x1b]0;owned\x07 -v") +
                 record_bytes(command="\x1b[31mtool"))
        pkg = self.assemble_pkg("esc", table=table, info=struct.pack("<ii", 2, 0))
        info = run_pkgtool("info", pkg)
        self.assertIn("  command:   ./tool\\x1B[2J\n", info.stdout)
        self.assertIn("  arguments: \\x1B]0;owned\\x07 -v\n", info.stdout)
        verify = run_pkgtool("verify", pkg)
        self.assertEqual(1, verify.returncode)
        self.assertIn("record 2: command \"\\x1B[31mtool\" does not begin with \"./\"",
                      verify.stderr)
        self.assertIn("command './tool\\x1B[2J' names no file", verify.stderr)
        for r in (info, verify):
            for control in ("\x1b", "\x07"):
                self.assertNotIn(control, r.stdout + r.stderr)

    def test_names_from_executables_are_escaped(self):
        # A dynamic unzip utility whose interpreter and library names hold
        # terminal escapes.
        src = self.path("lib.c")
        with open(src, "w") as f:
            f.write("int helper(void) { return 1; }\n")
        lib = self.path("libesc.so")
        subprocess.run(["gcc", "-shared", "-fPIC", "-o", lib, src,
                        "-Wl,-soname,libesc\x1b[31m.so"], check=True)
        prog = self.path("prog.c")
        with open(prog, "w") as f:
            f.write("int helper(void);\nint main(void) { return helper(); }\n")
        unzip = self.path("unzip")
        subprocess.run(["gcc", "-o", unzip, prog, lib,
                        "-Wl,--dynamic-linker=/lib64/ld\x1b]0;owned\x07.so"], check=True)
        pkg = self.path("esc.pkg")
        build = run_pkgtool(*build_args(pkg, self.image, extra=("--unzip", unzip)))
        self.assertEqual(0, build.returncode, build.stderr)
        verify = run_pkgtool("verify", pkg)
        info = run_pkgtool("info", pkg)
        for r in (build, verify, info):
            self.assertIn("the program interpreter /lib64/ld\\x1B]0;owned\\x07.so; "
                          "the shared libraries libesc\\x1B[31m.so", r.stderr)
            for control in ("\x1b", "\x07"):
                self.assertNotIn(control, r.stdout + r.stderr)
        self.assertIn("interpreter /lib64/ld\\x1B]0;owned\\x07.so; needs libesc\\x1B[31m.so",
                      info.stdout)


if __name__ == "__main__":
    unittest.main()
