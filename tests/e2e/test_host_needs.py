"""What pkgtool says a package needs from its host: the ELF facts of the
launcher and the unzip utility in build, verify and info, compared with
what readelf prints for real binaries (64- and 32-bit, static and dynamic),
and damaged executables refused cleanly."""
import json
import os
import re
import shutil
import subprocess
import unittest

from e2e_util import LAUNCHER, MINIUNZIP, SANITIZED, UNZIP, E2ETest, assemble, split_elements
from pkg_util import HOST_NEEDS, run_pkgtool

MACHINES = {"Advanced Micro Devices X86-64": "x86-64", "Intel 80386": "i386"}


def version_key(v):
    return [int(p) for p in v.split(".")]


def readelf_facts(path):
    """The facts as readelf prints them: class, machine, interpreter,
    needed libraries and the highest GLIBC_ version of the version needs."""
    def readelf(*opts):
        r = subprocess.run(["readelf", "-W", *opts, path], capture_output=True, text=True,
                           env=dict(os.environ, LC_ALL="C"))
        if r.returncode != 0:
            raise AssertionError("readelf %s %s: %s" % (opts, path, r.stderr))
        return r.stdout
    header = readelf("-h")
    elf_class = int(re.search(r"Class:\s+ELF(\d+)", header).group(1))
    machine = re.search(r"Machine:\s+(.*)", header).group(1).strip()
    interp = re.search(r"\[Requesting program interpreter: (.*)\]", readelf("-l"))
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", readelf("-d"))
    versions = readelf("-V")
    needs = versions[versions.find("Version needs section"):] if "Version needs" in versions \
        else ""
    glibc = sorted(set(re.findall(r"Name: GLIBC_([0-9][0-9.]*[0-9]|[0-9])\s", needs)),
                   key=version_key)
    return {"class": elf_class, "machine": MACHINES.get(machine, machine),
            "interpreter": interp.group(1) if interp else None, "needed": needed,
            "glibc": glibc[-1] if glibc else None,
            "static": interp is None and not needed}


def compile_c(out, flags):
    src = out + ".c"
    with open(src, "w") as f:
        f.write('#include <stdio.h>\n#include <math.h>\n'
                'int main(int c, char **v) { printf("%g\\n", sqrt(c)); return v[0][0] == 0; }\n')
    r = subprocess.run(["gcc", *flags, "-o", out, src, "-lm"], capture_output=True, text=True)
    if r.returncode != 0:
        raise AssertionError("gcc %s failed (scripts/setup.sh installs gcc-multilib): %s"
                             % (flags, r.stderr))
    return out


class HostNeeds(E2ETest):
    def build_with(self, unzip, name="p", stub=LAUNCHER):
        out = self.path(name)
        r = run_pkgtool("build", "-o", out, "--stub", stub, "--unzip", unzip,
                        "--record", "redhat", "5", "x86-64", "0", "./tool", "",
                        "--image", self.image)
        self.assertEqual(0, r.returncode, r.stderr)
        return out, r

    def info(self, pkg):
        r = run_pkgtool("info", "--json", pkg)
        return r, json.loads(r.stdout)

    def assertFacts(self, expected, facts, element):
        self.assertEqual(element, facts["element"])
        self.assertTrue(facts["elf"], facts)
        for key in ("class", "machine", "interpreter", "needed", "glibc", "static"):
            self.assertEqual(expected[key], facts[key], key)

    def test_real_binaries_match_readelf(self):
        binaries = [MINIUNZIP, LAUNCHER, UNZIP, "/bin/busybox", "/bin/ls", "/usr/bin/python3",
                    compile_c(self.path("hello64"), []),
                    compile_c(self.path("hello32"), ["-m32"]),
                    compile_c(self.path("static32"), ["-m32", "-static"]),
                    compile_c(self.path("pie64"), ["-static-pie"])]
        seen = set()
        for binary in binaries:
            with self.subTest(binary=binary):
                expected = readelf_facts(binary)
                seen.add((expected["class"], expected["static"]))
                pkg, build = self.build_with(binary)
                r, info = self.info(pkg)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertFacts(expected, info["executables"][1], 1)
                self.assertFacts(readelf_facts(LAUNCHER), info["executables"][0], 0)
                # The warning comes with build, verify and info alike, for
                # a dynamic executable only, and neither fails.
                v = run_pkgtool("verify", pkg)
                self.assertEqual(0, v.returncode, v.stderr)
                for out in (build.stderr, v.stderr, r.stderr):
                    warned = [l for l in out.splitlines() if "element 1 (the unzip utility)"
                              + HOST_NEEDS in l]
                    self.assertEqual(0 if expected["static"] else 1, len(warned), out)
                    for lib in expected["needed"]:
                        self.assertIn(" " + lib, "".join(warned))
                    if expected["glibc"]:
                        self.assertIn("glibc %s or later" % expected["glibc"], "".join(warned))
                    if warned:
                        self.assertIn("runs only on hosts that have them", warned[0])
        # Both classes, static and dynamic, were among them.
        self.assertEqual({(64, True), (64, False), (32, True), (32, False)}, seen)

    def test_debian_miniunzip(self):
        pkg, build = self.build_with(MINIUNZIP)
        r, info = self.info(pkg)
        facts = info["executables"][1]
        self.assertEqual(["libminizip.so.1", "libc.so.6"], facts["needed"])
        self.assertEqual("2.34", facts["glibc"])  # above 2.14 and 2.7 that it asks for too
        self.assertEqual("/lib64/ld-linux-x86-64.so.2", facts["interpreter"])
        self.assertFalse(facts["static"])
        self.assertIn("pkgtool: warning: element 1 (the unzip utility) is dynamically linked "
                      "and needs from the host: the program interpreter "
                      "/lib64/ld-linux-x86-64.so.2; the shared libraries libminizip.so.1, "
                      "libc.so.6; glibc 2.34 or later (GLIBC_2.34). The package runs only on "
                      "hosts that have them\n", build.stderr)
        text = run_pkgtool("info", pkg)
        self.assertEqual(0, text.returncode, text.stderr)
        self.assertIn("  element 1 (the unzip utility): ELF64 x86-64, dynamic: interpreter "
                      "/lib64/ld-linux-x86-64.so.2; needs libminizip.so.1 libc.so.6; "
                      "GLIBC_2.34\n", text.stdout)

    @unittest.skipIf(SANITIZED, "the sanitized launcher and tunzip are dynamic")
    def test_shipped_launcher_and_tunzip_are_static(self):
        pkg, build = self.build_with(UNZIP)
        self.assertEqual("", build.stderr)
        r, info = self.info(pkg)
        self.assertEqual("", r.stderr)
        for element, facts in enumerate(info["executables"]):
            # (The version's value: test_versions.py.)
            self.assertIsNotNone(facts.pop("version"))
            self.assertEqual({"element": element, "elf": True, "class": 64,
                              "byte_order": "little", "machine": "x86-64", "machine_code": 62,
                              "static": True, "interpreter": None, "needed": [],
                              "glibc": None}, facts)
        v = run_pkgtool("verify", pkg)
        self.assertEqual((0, ""), (v.returncode, v.stderr))
        self.assertIn("  element 0 (the launcher): ELF64 x86-64, static\n",
                      run_pkgtool("info", pkg).stdout)

    def test_damaged_executables_refused_cleanly(self):
        elements, _ = split_elements(self.pkg)
        with open(MINIUNZIP, "rb") as f:
            unzip = f.read()
        phoff = int.from_bytes(unzip[32:40], "little")
        phnum = int.from_bytes(unzip[56:58], "little")
        damaged = {
            # Cut inside the program headers, and just before their end.
            "cut": (unzip[:phoff + 10], "the program headers lie beyond the file"),
            "cut-1": (unzip[:phoff + 56 * phnum - 1], "the program headers lie beyond"),
            # A header that is no executable, and one of an unknown class.
            "type": (unzip[:16] + b"\1\0" + unzip[18:],
                     "an ELF file of type 1, not an executable"),
            "class": (unzip[:4] + b"\7" + unzip[5:], "an ELF file of unknown class 7"),
            "magic only": (b"\x7fELF", "the ELF header is cut short"),
        }
        for name, (data, message) in damaged.items():
            for element in (0, 1):
                with self.subTest(damage=name, element=element):
                    parts = list(elements)
                    parts[element] = data
                    pkg = assemble(self.path("%s-%d" % (name, element)), parts)
                    label = "element 0 (the launcher)" if element == 0 else \
                        "element 1 (the unzip utility)"
                    v = run_pkgtool("verify", pkg)
                    self.assertEqual(1, v.returncode, v.stderr)
                    self.assertIn("pkgtool: %s: %s: %s" % (pkg, label, message), v.stderr)
                    r, info = self.info(pkg)
                    facts = info["executables"][element]
                    self.assertTrue(facts["elf"])
                    self.assertIn(message, facts["problem"])
                    self.assertNotIn("static", facts)
                    self.assertIn("warning: %s: %s" % (label, message), r.stderr)
                    # As the unzip utility given to build, it is named in a
                    # warning: the build itself succeeds.
                    if element == 1:
                        bad = self.path("bad-unzip")
                        with open(bad, "wb") as f:
                            f.write(data)
                        out, build = self.build_with(bad, name="b")
                        self.assertIn("pkgtool: warning: %s: %s" % (label, message),
                                      build.stderr)


if __name__ == "__main__":
    unittest.main()
