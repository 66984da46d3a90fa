"""Packages for ARM64, POWER (little-endian) and IBM Z hosts (pkgtool build
--stubs aarch64|ppc64le|s390x).  pkgtool's side needs no such host: which
executables a package gets, the machines info and verify name, the warning
for records that no host of the launcher can match.  The runs are made as
such a host makes them, under Debian's qemu-user-static through
scripts/qemu-run.sh, on fake hosts made from real os-release texts; s390x
is big-endian, so its runs read the package's little-endian integers as a
host of the other byte order does."""
import json
import os
import shutil
import unittest

import test_tunzip
from e2e_util import (E2ETest, TOOL, assemble, build_package, make_zip, pkgtool, split_elements,
                      tool_args)
from emulation import (CROSS_ARCHES, QEMU_RUN, EmulatedRun, InterruptWhileUnpacking, read,
                       runs_behind, stub_paths)
from pkg_util import without_host_needs
from test_hosts_today import SLES_15_SP5
from test_platform import STRICT_WARNING

RHEL_9_3 = ('NAME="Red Hat Enterprise Linux"\nVERSION="9.3 (Plow)"\nID="rhel"\n'
            'ID_LIKE="fedora"\nVERSION_ID="9.3"\nPLATFORM_ID="platform:el9"\n'
            'PRETTY_NAME="Red Hat Enterprise Linux 9.3 (Plow)"\nANSI_COLOR="0;31"\n'
            'LOGO="fedora-logo-icon"\nCPE_NAME="cpe:/o:redhat:enterprise_linux:9::baseos"\n'
            'HOME_URL="https://www.redhat.com/"\n'
            'REDHAT_SUPPORT_PRODUCT="Red Hat Enterprise Linux"\n'
            'REDHAT_SUPPORT_PRODUCT_VERSION="9.3"\n')
RHEL_8_9 = ('NAME="Red Hat Enterprise Linux"\nVERSION="8.9 (Ootpa)"\nID="rhel"\n'
            'ID_LIKE="fedora"\nVERSION_ID="8.9"\nPLATFORM_ID="platform:el8"\n'
            'PRETTY_NAME="Red Hat Enterprise Linux 8.9 (Ootpa)"\nANSI_COLOR="0;31"\n'
            'CPE_NAME="cpe:/o:redhat:enterprise_linux:8::baseos"\n'
            'HOME_URL="https://www.redhat.com/"\n')
UBUNTU_22_04 = ('PRETTY_NAME="Ubuntu 22.04.4 LTS"\nNAME="Ubuntu"\nVERSION_ID="22.04"\n'
                'VERSION="22.04.4 LTS (Jammy Jellyfish)"\nVERSION_CODENAME=jammy\nID=ubuntu\n'
                'ID_LIKE=debian\nHOME_URL="https://www.ubuntu.com/"\n'
                'SUPPORT_URL="https://help.ubuntu.com/"\nUBUNTU_CODENAME=jammy\n')

# Per stub set: what info and verify call its machine, its e_machine and
# byte order, the record name of its hosts' architecture, and the hosts of
# today to fake for it: (what "uname -i" prints there, os-release, the
# record that names the host, the warning's names and release for it).
ARCHES = {
    "aarch64": ("AArch64", 183, "little", "arm64", [
        ("aarch64", RHEL_9_3, ("redhat", "9", "arm64"), ("Red Hat", 9, "ARM64")),
        # Ubuntu's uname -i says "unknown": the kernel's machine decides.
        ("unknown", UBUNTU_22_04, ("ubuntu", "22", "aarch64"), ("Ubuntu", 22, "ARM64"))]),
    "ppc64le": ("PowerPC64 little-endian", 21, "little", "ppc", [
        ("ppc64le", RHEL_8_9, ("redhat", "8", "ppc"), ("Red Hat", 8, "PPC"))]),
    "s390x": ("IBM S/390 big-endian", 22, "big", "s390x", [
        ("s390x", SLES_15_SP5, ("suse", "15", "s390x"), ("SuSE", 15, "IBM Z"))]),
}
NOT_BUILT = "the build makes no stubs for other architectures (TRELL_CROSS_STUBS=OFF)"


def ways_for(arch):
    """The ways of running arch's executables here: qemu only."""
    launcher, unzip = stub_paths(arch)
    if not os.path.exists(unzip):
        return {}
    qemu = [QEMU_RUN, arch]
    return {"qemu": (qemu, runs_behind(qemu, unzip))}


WAYS = {arch: ways_for(arch) for arch in ARCHES}


@unittest.skipUnless(CROSS_ARCHES, NOT_BUILT)
class StubChoice(E2ETest):
    """pkgtool build --stubs, and what info and verify say of the stubs."""

    def build(self, name, *extra, records=None, pair=None):
        out = self.path(name)
        args = ["build", "-o", out, *extra]
        for r in records or [("redhat", "9", "x86-64", "0", "./tool", "")]:
            args += ["--record", *r]
        args += ["--image-pair", *pair] if pair else ["--image", self.image]
        return out, pkgtool(*args, check=False)

    def test_each_set_takes_its_executables_and_names_their_machine(self):
        self.assertEqual(sorted(ARCHES), sorted(CROSS_ARCHES))
        for arch in CROSS_ARCHES:
            with self.subTest(arch=arch):
                machine, code, order, record_arch, _ = ARCHES[arch]
                launcher, unzip = stub_paths(arch)
                out, r = self.build(arch, "--stubs", arch,
                                    records=[("redhat", "9", record_arch, "0", "./tool", "")])
                self.assertEqual((0, ""), (r.returncode, r.stderr))
                elements, _ = split_elements(out)
                self.assertEqual((read(launcher), read(unzip)), (elements[0], elements[1]))
                info = json.loads(pkgtool("info", out, "--json").stdout)
                for element, facts in enumerate(info["executables"]):
                    self.assertEqual((element, 64, order, machine, code, True, None, []),
                                     (facts["element"], facts["class"], facts["byte_order"],
                                      facts["machine"], facts["machine_code"], facts["static"],
                                      facts["interpreter"], facts["needed"]))
                text = pkgtool("info", out).stdout
                for element in ("0 (the launcher)", "1 (the unzip utility)"):
                    self.assertIn("  element %s: ELF64 %s, static\n" % (element, machine), text)
                v = pkgtool("verify", out, check=False)
                self.assertEqual((0, ""), (v.returncode, v.stderr))
                self.assertEqual("%s: element 0 (the launcher): ELF64 %s, static\n"
                                 "%s: element 1 (the unzip utility): ELF64 %s, static\n"
                                 "%s: OK\n" % (out, machine, out, machine, out), v.stdout)

    def test_records_that_no_host_of_the_launcher_matches_are_warned_of(self):
        records = [("redhat", "9", "x86-64", "1", "./tool", "first"),
                   ("redhat", "9", "arm64", "1", "./tool", "arm"),
                   ("suse", "15", "s390x", "1", "./tool", "z"),
                   ("debian", "12", "aarch64", "1", "./tool", "arm-too")]
        never = ("no IBM Z host runs element 0 (the launcher), built for AArch64: the record "
                 "never runs")
        cases = [
            ("aarch64", records, [
                "record 1: no x86-64 host runs element 0 (the launcher), built for AArch64: the "
                "record runs only as the fall-back on hosts that no record matches",
                "record 3: " + never]),
            # The i386 launcher runs on both x86 kinds, the x86-64 one on one.
            ("i386", [("redhat", "5", "x86", "0", "./tool", ""),
                      ("redhat", "5", "x86-64", "0", "./tool", "")], []),
            ("x86-64", [("redhat", "5", "x86-64", "0", "./tool", ""),
                        ("redhat", "5", "x86", "0", "./tool", "")],
             ["record 2: no x86 host runs element 0 (the launcher), built for x86-64: the "
              "record never runs"]),
            ("s390x", [("suse", "15", "s390x", "0", "./tool", "")], []),
        ]
        for arch, recs, expected in cases:
            with self.subTest(arch=arch):
                if arch != "x86-64" and not os.path.exists(stub_paths(arch)[0]):
                    self.skipTest("no %s stubs built" % arch)
                out, build = self.build("w-" + arch, "--stubs", arch, records=recs)
                self.assertEqual(0, build.returncode, build.stderr)
                v = pkgtool("verify", out, check=False)
                self.assertEqual(0, v.returncode, v.stderr)
                for stderr, prefix in ((build.stderr, "pkgtool: warning: "),
                                       (v.stderr, "pkgtool: %s: warning: " % out)):
                    self.assertEqual([prefix + w for w in expected],
                                     without_host_needs(stderr).splitlines())
        # An image pair never runs on a launcher that no x86 host runs.
        other = make_zip(self.path("other.zip"), {"tool": TOOL})
        out, build = self.build("pair", "--stubs", "aarch64", pair=(self.image, other),
                                records=[("redhat", "9", "arm64", "0", "./tool", "")])
        self.assertEqual(0, build.returncode, build.stderr)
        self.assertEqual(["pkgtool: warning: the image pair never runs: no x86 host runs "
                          "element 0 (the launcher), built for AArch64, and the launcher "
                          "unpacks an image pair on x86 hosts only"], build.stderr.splitlines())
        self.assertIn("the image pair never runs", pkgtool("verify", out, check=False).stderr)

    def test_record_names_and_codes(self):
        out, r = self.build("names", records=[
            ("debian", "12", "arm64", "0", "./tool", ""), ("ubuntu", "22", "aarch64", "0",
                                                          "./tool", ""),
            ("6", "24", "s390x", "0", "./tool", ""), ("5", "11", "5", "0", "./tool", ""),
            ("suse", "15", "4", "0", "./tool", "")])
        self.assertEqual(0, r.returncode, r.stderr)
        records = json.loads(pkgtool("info", out, "--json").stdout)["records"]
        self.assertEqual([("Debian", 5, 12, "ARM64", 4), ("Ubuntu", 6, 22, "ARM64", 4),
                          ("Ubuntu", 6, 24, "IBM Z", 5), ("Debian", 5, 11, "IBM Z", 5),
                          ("SuSE", 2, 15, "ARM64", 4)],
                         [(x["distribution_name"], x["distribution"], x["release"],
                           x["architecture_name"], x["architecture"]) for x in records])
        text = pkgtool("info", out).stdout
        self.assertIn("Record 2: distribution Ubuntu (6), release 22, architecture ARM64 (4)", text)
        self.assertIn("Record 3: distribution Ubuntu (6), release 24, architecture IBM Z (5)", text)


class ArchRun(EmulatedRun):
    def setUp(self):
        self.ways_of_running = WAYS[self.arch]
        super().setUp()
        self.machine, _, _, self.record_arch, self.hosts_of_today = ARCHES[self.arch]


class Runs(ArchRun):
    """A run with arguments, --extract and the hosts of today, on one architecture."""

    def test_arguments_and_status(self):
        self.check_arguments_and_status(("redhat", "9", self.record_arch))

    def test_extract(self):
        self.check_extract()

    def test_hosts_of_today(self):
        del self.env["TRELL_PORTABLE_INTERACTIVE"]  # the platform check runs
        decoy = ("redhat", "9", "x86-64", "1", "./tool", "decoy")
        for way in self.ways():
            for uname, os_release, names, shown in self.hosts_of_today:
                with self.subTest(way=way, host=shown):
                    # A strict record that names the host runs at once, silently.
                    pkg = self.package("strict", strict=True,
                                       records=[decoy, (*names, "1", "./tool", "this-host")])
                    setup = self.host(uname=uname, os_release=os_release)
                    r = self.run_on(setup, pkg=pkg)
                    self.assertEqual((0, ""), (r.returncode, r.stderr), r.stdout)
                    self.assertEqual("this-host", self.record_run(r))
                    self.assertNothingLeft()
                    # Without it, the warning names the host, and strict refuses.
                    pkg = self.package("other", strict=True, records=[decoy])
                    r = self.run_on(setup, pkg=pkg)
                    self.assertEqual((1, STRICT_WARNING % shown), (r.returncode, r.stderr))
                    self.assertNothingLeft()


    def test_signed_package_on_a_host_that_trusts_its_key(self):
        # Ed25519 and the package record's checksums, on this architecture.
        key, pub = self.path("k.key"), self.path("k.pub")
        pkgtool("keygen", "--secret", key, "--public", pub)
        pkg = self.package("signed", records=[("redhat", "9", self.record_arch, "0", "./tool",
                                                "")])
        elements, _ = split_elements(pkg)  # before the signature follows the directory
        pkgtool("sign", "--key", key, pkg)
        changed = bytearray(read(pkg))
        changed[sum(map(len, elements[:4])) + len(elements[4]) // 2] ^= 0x10  # in the image
        bad = self.path("changed")
        with open(bad, "wb") as f:
            f.write(changed)
        os.chmod(bad, 0o755)
        store = self.path("etc-upper", "trell", "trusted-keys")
        os.makedirs(store)
        os.makedirs(self.path("etc-work"))
        shutil.copy(pub, store)
        setup = "mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc" % (
            self.path("etc-upper"), self.path("etc-work"))
        for way in self.ways():
            with self.subTest(way=way):
                r = self.run_pkg(["-v"], pkg=pkg, isolated=True, setup=setup)
                self.assertEqual((0, ["-v"]), (r.returncode, tool_args(r.stdout)), r.stderr)
                r = self.run_pkg(["-v"], pkg=bad, isolated=True, setup=setup)
                self.assertEqual(1, r.returncode)
                self.assertIn("the package was changed after it was signed", r.stderr)
                self.assertNothingLeft()


class Interrupt(InterruptWhileUnpacking):
    def setUp(self):
        self.ways_of_running = WAYS[self.arch]
        super().setUp()

    def test_sigterm_while_unpacking(self):
        self.check_sigterm_while_unpacking()


class Tunzip(test_tunzip.Writers):
    """The common writers' archives, read by the emulated tunzip as
    Python's zipfile reads them."""
    arch = None

    def setUp(self):
        launcher, self.unzip = stub_paths(self.arch)
        way = WAYS[self.arch].get("qemu")
        if way is None:
            self.skipTest("the %s unzip utility is not built" % self.arch)
        if way[1] is not None:
            self.skipTest("%s executables do not run under qemu: %s" % (self.arch, way[1]))
        super().setUp()

    def tunzip(self, *args):
        return test_tunzip.tunzip_with([QEMU_RUN, self.arch, self.unzip], *args)

    # An x86-64 package; not this architecture's business.
    test_pkgtool_builds_and_runs_a_zip_with_data_descriptors = None


class SameBytesAsX8664(ArchRun):
    """The container is the same whatever the launcher's architecture: the
    s390x launcher reads what pkgtool writes for x86-64, byte for byte."""
    arch = "s390x"

    def test_elements_and_directory_as_for_x86_64(self):
        records = [("suse", "15", "s390x", "1", "./tool", "--z"),
                   ("redhat", "9", "x86-64", "2", "./tool", "--x")]
        s390x = self.package("s390x", records=records)
        x86_64 = build_package(self.path("x86-64"), self.image, records=records)
        (ours, d_ours), (theirs, d_theirs) = split_elements(s390x), split_elements(x86_64)
        self.assertEqual(theirs[2:], ours[2:])
        # The sizes of elements 2 to 4 and of a pair's images; the reserved
        # bytes hold digests of the elements, the stubs' among them.
        for entry in (2, 3, 4, 70, 136):
            self.assertEqual(d_theirs[entry], d_ours[entry], entry)
        # The x86-64 package's own elements 2 to 4 behind the s390x stubs.
        pkg = assemble(self.path("moved"), ours[:2] + theirs[2:])
        for way in self.ways():
            with self.subTest(way=way):
                r = self.run_pkg(["-d", "b c"], pkg=pkg, isolated=True, env={"TOOL_EXIT": "3"})
                self.assertEqual(3, r.returncode, r.stdout + r.stderr)
                self.assertEqual(["--z", "-d", "b c"], tool_args(r.stdout))
                # The image sizes of a pair are read as such (and no pair
                # runs on an IBM Z host), a negative record count refuses.
                other = make_zip(self.path("other.zip"), {"tool": TOOL})
                pair = self.package("pair", records=records, pair=(self.image, other))
                r = self.run_pkg([], pkg=pair, isolated=True)
                self.assertEqual((1, "Failed determining platform architecture!\n"
                                     "Failed extracting portable image\n"),
                                 (r.returncode, r.stderr))
                info = bytearray(theirs[2])
                info[0:4] = (-1).to_bytes(4, "little", signed=True)
                counted = assemble(self.path("counted"), ours[:2] + [bytes(info)] + theirs[3:])
                interactive = self.env.pop("TRELL_PORTABLE_INTERACTIVE")
                r = self.run_pkg([], pkg=counted, isolated=True)
                self.env["TRELL_PORTABLE_INTERACTIVE"] = interactive
                self.assertEqual((1, "", ""), (r.returncode, r.stdout, r.stderr))
                self.assertNothingLeft()


def per_architecture(*bases):
    """Each base, per architecture, as a class named after it
    (RunsOnAarch64, ...) that unittest finds in this module."""
    for arch in ARCHES:
        for base, name in bases:
            name += arch.capitalize()
            globals()[name] = type(name, (base,), {"arch": arch})


per_architecture((Runs, "RunsOn"), (Interrupt, "InterruptOn"), (Tunzip, "TunzipOn"))
# The bases themselves have no architecture: not tests of their own.
del Runs, Interrupt, Tunzip


if __name__ == "__main__":
    unittest.main()
