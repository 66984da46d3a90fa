"""pkgtool verify, list, unpack and info --json on sound and damaged
packages: what verify accepts runs, each kind of damage is named."""
import json
import os
import struct
import subprocess
import unittest
import zipfile

from e2e_util import (LAUNCHER, PKGTOOL, TOOL, UNZIP, E2ETest, assemble, build_package,
                      make_zip, pkgtool, read_trailer, record_bytes)
from pkg_util import (Parts, copy_launcher_and_unzip, read_tree, run_pkgtool,
                      without_host_needs, zip_bytes)

GOOD_IMAGE = {"tool": TOOL, "sub/data": "payload\n" * 50}


def encrypted(zip_data):
    """Marks every entry of a stored zip as encrypted (general purpose bit
    0), in the local and the central headers alike."""
    data = bytearray(zip_data)
    for sig, flags in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        pos = data.find(sig)
        while pos >= 0:
            data[pos + flags] |= 1
            pos = data.find(sig, pos + 4)
    return bytes(data)


class Verify(E2ETest):
    def setUp(self):
        super().setUp()
        self.launcher, self.unzip = copy_launcher_and_unzip()
        self.image_bytes = zip_bytes(GOOD_IMAGE)

    def pkg_from(self, name, launcher=None, unzip=None, info=None, table=None, image=None,
                 first=0, second=0, directory=None):
        elements = [self.launcher if launcher is None else launcher,
                    self.unzip if unzip is None else unzip,
                    struct.pack("<ii", 1, 0) if info is None else info,
                    record_bytes() if table is None else table,
                    self.image_bytes if image is None else image]
        return assemble(self.path(name), elements, first, second, directory)

    def verify(self, pkg):
        return run_pkgtool("verify", pkg)

    def assertVerified(self, pkg, stdout):
        """verify's standard output for a sound package: the launcher's and
        the unzip utility's class and machine, then OK."""
        lines = stdout.splitlines()
        self.assertEqual([pkg + ": element 0 (the launcher): ",
                          pkg + ": element 1 (the unzip utility): ", pkg + ": OK"],
                         [l[:l.index("): ") + 3] if "): " in l else l for l in lines])
        self.assertRegex(lines[0], r": ELF(32|64) (x86-64|i386)(, static$|, dynamic: )")

    def test_sound_packages_pass_and_run(self):
        pair = build_package(self.path("pair"), None,
                             pair=(make_zip(self.path("a.zip"), {"tool": TOOL}),
                                   make_zip(self.path("b.zip"), {"tool": TOOL})))
        for pkg in (self.pkg, self.pkg_from("assembled"), pair):
            with self.subTest(pkg=pkg):
                r = self.verify(pkg)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertVerified(pkg, r.stdout)
                if pkg == pair:
                    # On x86-64 executables, the x86 image cannot run.
                    warning = ("pkgtool: %s: warning: the image pair's x86 image can never "
                               "run: element 0 (the launcher) " % pkg)
                    self.assertTrue(without_host_needs(r.stderr).startswith(warning), r.stderr)
                    continue  # which archive runs depends on the host (test_platform)
                self.assertEqual("", without_host_needs(r.stderr))
                run = self.run_pkg(["x"], pkg=pkg)
                self.assertEqual(0, run.returncode, run.stderr)
                self.assertIn("tool: 1 args", run.stdout)

    def damaged_cases(self):
        """(name, package path, what verify must say) for each fault."""
        good = Parts(self.pkg)
        end = len(good.data) - 549

        def patched(name, edit):
            data = bytearray(good.data)
            edit(data)
            return good.write(self.path(name), data)

        def set_dir(index, value):
            return lambda d: struct.pack_into("<i", d, end + 4 * index, value)

        def flip(offset):
            def edit(d):
                d[offset] ^= 0xFF
            return edit

        image_off = good.offset(4)
        tool_data = good.entry_data_offset("tool")
        long_cmd = struct.pack("<iii128s256si", 3, 5, 2, b"./" + b"t" * 126, b"", 0)
        long_args = struct.pack("<iii128s256si", 3, 5, 2, b"./tool", b"a" * 256, 0)
        pair_a = zip_bytes({"tool": TOOL * 4})
        pair_b = zip_bytes({"tool": TOOL * 4, "other": "x"})
        pair_pkg = self.pkg_from("pair-src", image=pair_a + pair_b, first=len(pair_a),
                                 second=len(pair_b))
        pair_parts = Parts(pair_pkg)
        second_data = pair_parts.entry_data_offset("tool", archive=1)
        return [
            ("end marker", patched("marker", lambda d: d.__setitem__(-1, 0xFE)),
             "not the end marker 0xFF"),
            ("truncated", good.write(self.path("cut"), good.data[:image_off + 10] +
                                     good.data[-549:]),
             "bytes before the directory"),
            ("one byte missing", good.write(self.path("short"), good.data[:-550] +
                                            good.data[-549:]),
             "bytes before the directory"),
            ("wrong image size", patched("size4", set_dir(4, good.sizes[4] + 1)),
             "bytes before the directory"),
            ("size at or over 2^31", patched("neg", set_dir(1, -5)),
             "element 1's size 4294967291 is at or over 2^31"),
            ("global info length", self.pkg_from("gi7", info=b"\x01\0\0\0\0\0\0"),
             "the global info is 7 bytes, not 8"),
            ("record count over the table", self.pkg_from("count", info=struct.pack("<ii", 2, 0)),
             "the record count is 2, but the command table holds 1"),
            ("negative record count", self.pkg_from("negcount", info=struct.pack("<ii", -1, 0)),
             "the record count is negative"),
            ("no record", self.pkg_from("notable", table=b"", info=struct.pack("<ii", 0, 0)),
             "the command table holds no record"),
            ("distribution code", self.pkg_from("dist", table=record_bytes(dist=9)),
             "record 1: unknown distribution code 9"),
            ("architecture code", self.pkg_from("arch", table=record_bytes(arch=0)),
             "record 1: unknown architecture code 0"),
            ("argument mode", self.pkg_from("mode", table=record_bytes(mode=3)),
             "record 1: argument mode 3 is not 0, 1 or 2"),
            ("command without ./", self.pkg_from("rel", table=record_bytes(command="tool")),
             "record 1: command \"tool\" does not begin with \"./\""),
            ("command not NUL-terminated", self.pkg_from("cmdnul", table=long_cmd),
             "record 1: command is not NUL-terminated within 128 bytes"),
            ("arguments not NUL-terminated", self.pkg_from("argnul", table=long_args),
             "record 1: arguments is not NUL-terminated within 256 bytes"),
            ("image pair sizes", self.pkg_from("pairsize", first=10, second=20),
             "the image sizes 10 and 20 make no image pair"),
            ("half an image pair", self.pkg_from("pairhalf", first=len(self.image_bytes)),
             "make no image pair"),
            ("image not a zip", self.pkg_from("notzip", image=b"hello, not a zip" * 4),
             "image: not a zip archive the unzip utility takes"),
            ("byte flipped in the image", patched("flip", flip(tool_data + 5)),
             "image: entry 'tool' is damaged"),
            ("byte flipped in a header", patched("fliphdr", flip(image_off + 30)),
             "image: entry 'tool': the local header disagrees with the central directory"),
            ("byte flipped in the second archive",
             pair_parts.write(self.path("flip2"), bytes(
                 pair_parts.data[:second_data + 3] +
                 bytes([pair_parts.data[second_data + 3] ^ 0xFF]) +
                 pair_parts.data[second_data + 4:])),
             "x86-64 image: entry 'tool' is damaged"),
            ("entry leaving the image", self.pkg_from("dotdot", image=zip_bytes(
                {"tool": TOOL, "../evil": "x"})),
             "image: entry '../evil': a \".\" or \"..\" part in the name"),
            ("absolute entry", self.pkg_from("abs", image=zip_bytes({"/etc/evil": "x"})),
             "image: entry '/etc/evil': an absolute name"),
            ("entry name too long", self.pkg_from("longname", image=zip_bytes({"n" * 256: "x"})),
             "a name longer than 255 bytes"),
            ("entry method", self.pkg_from("bzip2", image=zip_bytes(
                {"tool": TOOL}, method=zipfile.ZIP_BZIP2)),
             "a compression method other than stored or deflated"),
            ("encrypted entry", self.pkg_from("crypt", image=encrypted(zip_bytes(
                {"tool": TOOL}, method=zipfile.ZIP_STORED))),
             "image: entry 'tool': encrypted"),
            ("unzip utility not executable", self.pkg_from("unzip", unzip=b"just some text"),
             "element 1 (the unzip utility) is neither an ELF executable nor a \"#!\" script"),
            ("empty unzip utility", self.pkg_from("nounzip", unzip=b""),
             "element 1 (the unzip utility)"),
            ("launcher not an executable", self.pkg_from("stub", launcher=b"MZ" + b"\0" * 64),
             "element 0 (the launcher) is not an ELF executable"),
        ]

    def test_every_damage_is_caught(self):
        for name, pkg, message in self.damaged_cases():
            with self.subTest(name):
                r = self.verify(pkg)
                self.assertEqual(1, r.returncode, r.stdout + r.stderr)
                # At most the executables' descriptions, never OK.
                for line in r.stdout.splitlines():
                    self.assertRegex(line, r"^%s: element [01] \(" % pkg)
                lines = [l for l in r.stderr.splitlines() if ": warning: " not in l]
                self.assertTrue(lines)
                for line in lines:
                    self.assertTrue(line.startswith("pkgtool: " + pkg + ": "), line)
                self.assertTrue(any(message in l for l in lines), r.stderr)

    def test_sizes_adding_up_to_2g(self):
        # A sparse file whose sizes match its length but add up past 2^31 - 1.
        sizes = [0x40000000, 0x40000000, 8, 400, 0]
        path = self.path("huge")
        d = [0] * 137
        d[:5] = sizes
        with open(path, "wb") as f:
            f.truncate(sum(sizes))
            f.seek(sum(sizes))
            f.write(struct.pack("<137i", *d) + b"\xff")
        r = self.verify(path)
        self.assertEqual(1, r.returncode)
        self.assertIn("add up to 2147484056, at or over 2^31", r.stderr)

    def test_several_problems_one_line_each(self):
        table = record_bytes(dist=9) + record_bytes(mode=7, command="x")
        pkg = self.pkg_from("multi", info=struct.pack("<ii", 2, 0), table=table,
                            unzip=b"text")
        r = self.verify(pkg)
        self.assertEqual(1, r.returncode)
        self.assertEqual([
            "record 1: unknown distribution code 9",
            "record 2: command \"x\" does not begin with \"./\"",
            "element 1 (the unzip utility) is neither an ELF executable nor a \"#!\" script",
            "record 2: command 'x' names no file in the image",
        ], [l[len("pkgtool: " + pkg + ": "):] for l in r.stderr.splitlines()
            if "warning" not in l])

    def test_warnings_do_not_fail(self):
        pkg = self.pkg_from("warn", table=record_bytes(command="./sub/data"))
        os.chmod(pkg, 0o644)
        r = self.verify(pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn(": warning: record 1: command './sub/data' lies below the folder 'sub/'",
                      r.stderr)
        self.assertIn(": warning: the file is not executable", r.stderr)
        self.assertVerified(pkg, r.stdout)


class ListUnpackInfo(E2ETest):
    def test_list_matches_the_image(self):
        image = make_zip(self.path("img.zip"), GOOD_IMAGE)
        pkg = build_package(self.path("p"), image)
        r = run_pkgtool("list", pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual("image: 2 entries", lines[0])
        with zipfile.ZipFile(image) as z:
            expected = [(i.file_size, i.filename) for i in z.infolist()]
        self.assertEqual(expected, [(int(l.split()[0]), l.split()[1]) for l in lines[1:]])

    def test_unpack_never_writes_outside(self):
        launcher, unzip = copy_launcher_and_unzip()
        base = [launcher, unzip, struct.pack("<ii", 1, 0), record_bytes()]
        evil = assemble(self.path("evil"), base + [zip_bytes({"tool": TOOL, "../escaped": "x"})])
        r = run_pkgtool("unpack", evil, self.path("out"))
        self.assertEqual(1, r.returncode)
        self.assertIn('a "." or ".." part in the name', r.stderr)
        self.assertFalse(os.path.exists(self.path("escaped")))
        self.assertFalse(os.path.exists(self.path("out")))  # checked before anything is made

        # A link already in the folder is not followed.
        linked = assemble(self.path("linked"),
                          base + [zip_bytes({"tool": TOOL, "sub/file": "x", "alias": "y"})])
        os.makedirs(self.path("dest"))
        os.makedirs(self.path("elsewhere"))
        os.symlink(self.path("elsewhere"), self.path("dest", "sub"))
        with open(self.path("target"), "w") as f:
            f.write("keep")
        os.symlink(self.path("target"), self.path("dest", "alias"))
        # Both links are replaced (by a folder, by the file), neither followed.
        r = run_pkgtool("unpack", linked, self.path("dest"))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual([], os.listdir(self.path("elsewhere")))
        self.assertFalse(os.path.islink(self.path("dest", "sub")))
        with open(self.path("target")) as f:
            self.assertEqual("keep", f.read())  # the link was replaced, not written through
        self.assertFalse(os.path.islink(self.path("dest", "alias")))
        self.assertEqual({"alias": b"y", "sub/": None, "sub/file": b"x", "tool": TOOL.encode()},
                         read_tree(self.path("dest")))

    def test_unpack_of_a_damaged_image_writes_nothing(self):
        good = Parts(self.pkg)
        data = bytearray(good.data)
        data[good.entry_data_offset("tool") + 2] ^= 0xFF
        bad = good.write(self.path("bad"), data)
        os.mkdir(self.path("out"))
        r = run_pkgtool("unpack", bad, self.path("out"))
        self.assertEqual(1, r.returncode)
        self.assertIn("entry 'tool' is damaged", r.stderr)
        self.assertEqual([], os.listdir(self.path("out")))

    def test_list_and_unpack_of_no_package(self):
        with open(self.path("junk"), "wb") as f:
            f.write(b"\0" * 1000)
        for args in (["list", self.path("junk")], ["unpack", self.path("junk"), self.path("o")],
                     ["list", self.path("missing")], ["verify", self.dir],
                     ["info", "--json", self.dir]):
            with self.subTest(args=args):
                r = run_pkgtool(*args)
                self.assertEqual(1, r.returncode)
                self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
                self.assertFalse(os.path.exists(self.path("o")))
        for args in ([], ["frob"], ["list"], ["unpack", self.pkg], ["verify", self.pkg, "x"],
                     ["info", self.pkg, "--xml"], ["list", self.pkg, "--arch"]):
            with self.subTest(args=args):
                r = run_pkgtool(*args)
                self.assertEqual(2, r.returncode, r.stderr)
                self.assertIn("Try 'pkgtool --help'", r.stderr)

    def test_info_json(self):
        pkg = build_package(self.path("j"), self.image, strict=True,
                            records=[("suse", "10", "x86", "1", "./tool", "-a \"q\"\\"),
                                     ("redhat", "-1", "x86-64", "2", "./tool", "")])
        r = run_pkgtool("info", "--json", pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        info = json.loads(r.stdout)
        data, d = read_trailer(pkg)
        self.assertTrue(info["valid"])
        self.assertEqual([], info["problems"])
        self.assertEqual(len(data), info["file_size"])
        self.assertEqual(len(data) - 549, info["directory_offset"])
        self.assertEqual(d[:5], [e["size"] for e in info["elements"]])
        self.assertEqual([sum(d[:i]) for i in range(5)], [e["offset"] for e in info["elements"]])
        self.assertEqual((2, 1, False), (info["record_count"], info["strict"],
                                         info["image_pair"]))
        self.assertEqual({"distribution": 2, "distribution_name": "SuSE", "release": 10,
                          "architecture": 1, "architecture_name": "x86", "mode": 1,
                          "command": "./tool", "arguments": "-a \"q\"\\"}, info["records"][0])
        self.assertEqual(-1, info["records"][1]["release"])

        # A damaged package: still JSON, with its problems.
        bad = bytearray(data)
        struct.pack_into("<i", bad, len(bad) - 549 + 4 * 0, d[0] + 1)
        with open(self.path("bad"), "wb") as f:
            f.write(bad)
        r = run_pkgtool("info", self.path("bad"), "--json")
        self.assertEqual(1, r.returncode)
        info = json.loads(r.stdout)
        self.assertFalse(info["valid"])
        self.assertEqual(1, len(info["problems"]))
        self.assertIn("bytes before the directory", info["problems"][0])
        self.assertNotIn("records", info)

    def test_info_json_names_not_utf8(self):
        # Each invalid byte sequence of a name becomes U+FFFD; valid UTF-8
        # and control characters come out as they are (the latter escaped).
        image = os.fsencode(self.image)
        out = os.fsencode(self.path("name-")) + b"\xfe.pkg"
        command = b"./t\xffx"
        arguments = b"ok \xc3\xa9 bad \xc3\x28 cut \xe2\x82 end \x01"
        r = subprocess.run([os.fsencode(PKGTOOL), b"build", b"-o", out, b"--stub",
                            os.fsencode(LAUNCHER), b"--unzip", os.fsencode(UNZIP), b"--record",
                            b"redhat", b"5", b"x86-64", b"0", command, arguments,
                            b"--image", image], capture_output=True)
        self.assertEqual(0, r.returncode, r.stderr)
        r = subprocess.run([os.fsencode(PKGTOOL), b"info", b"--json", out], capture_output=True)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn(b"\\u0001", r.stdout)
        info = json.loads(r.stdout.decode("utf-8"))  # strict: any invalid byte fails
        self.assertEqual(self.path("name-") + "\ufffd.pkg", info["file"])
        self.assertEqual("./t\ufffdx", info["records"][0]["command"])
        self.assertEqual("ok \u00e9 bad \ufffd( cut \ufffd end \x01",
                         info["records"][0]["arguments"])

        # The same package under a valid name keeps it whole.
        valid = self.path("n\u00e4me.pkg")
        os.rename(out, valid)
        info = json.loads(pkgtool("info", "--json", valid).stdout)
        self.assertEqual(valid, info["file"])


if __name__ == "__main__":
    unittest.main()
