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
import json
import os
import time
import unittest

from e2e_util import (LAUNCHER, TOOL, UNZIP, E2ETest, make_zip, pkgtool, split_elements,
                      tool_args, tool_value)
from emulation import QEMU_RUN, EmulatedRun, InterruptWhileUnpacking, read, runs_behind, stub_paths
from install_util import project_version
from test_platform import PairArchives

LAUNCHER_I386, UNZIP_I386 = stub_paths("i386")
BUILT = os.path.exists(LAUNCHER_I386) and os.path.exists(UNZIP_I386)
NOT_BUILT = "the i386 launcher and unzip utility are not built (TRELL_I386_STUBS=OFF)"
PAIR_WARNING = "warning: the image pair's x86 image can never run: "

# The ways of running i386 executables here: name -> (argv prefix, None or
# why that way is not available).
WAYS = {}
if BUILT:
    QEMU = [QEMU_RUN, "i386"]
    WAYS = {"qemu": (QEMU, runs_behind(QEMU, UNZIP_I386)),
            "native": ([], runs_behind([], UNZIP_I386))}


def pkg_tool(*args):
    return pkgtool(*args, check=False)


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
                self.assertIn("pkgtool: build: --stubs takes one of x86-64, i386, aarch64, ppc64le, s390x, not '%s'\n"
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


class I386Run(EmulatedRun):
    arch = "i386"
    ways_of_running = WAYS


class ImagePairOnI386(PairArchives, I386Run):
    def setUp(self):
        super().setUp()
        del self.env["TRELL_PORTABLE_INTERACTIVE"]  # the platform check runs
        self.make_pair_archives()
        records = [("redhat", "5", "x86", "1", "./tool", "redhat5-32"),
                   ("redhat", "5", "x86-64", "1", "./tool", "redhat5-64")]
        self.pair = self.package("pair", records=records, pair=(self.x86, self.x64))

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
        self.check_arguments_and_status(("redhat", "5", "x86"))

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
        self.check_extract()


class InterruptOnI386(InterruptWhileUnpacking):
    arch = "i386"
    ways_of_running = WAYS

    def test_sigterm_while_unpacking(self):
        self.check_sigterm_while_unpacking()


if __name__ == "__main__":
    unittest.main()
