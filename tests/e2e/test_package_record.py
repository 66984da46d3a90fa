"""The package record that pkgtool build writes into the directory's
reserved bytes, checked against independent readings (Python's zipfile
and hashlib), and verify's report of each part that disagrees."""
import hashlib
import json
import os
import struct
import unittest
import zipfile

from e2e_util import TOOL, E2ETest, build_package, make_zip, split_elements
from pkg_util import Parts, run_pkgtool

RECORD = 20  # offset of the record in the directory
CHECKSUMS = RECORD + 200


def checksum(data):
    """The launcher's checksum: 4 bytes of BLAKE2b with a 16-byte output."""
    return int.from_bytes(hashlib.blake2b(data, digest_size=16).digest()[:4], "little")


def zip_directory(zip_path):
    """The archive's bytes from its central directory on, as its end record
    places it (read here without the zip reader under test)."""
    with open(zip_path, "rb") as f:
        data = f.read()
    end = data.rindex(b"PK\x05\x06")
    return data[struct.unpack_from("<I", data, end + 16)[0]:]


def expected_facts(zip_path):
    with zipfile.ZipFile(zip_path) as z:
        infos = z.infolist()
    return {"entries": len(infos), "unpacked_bytes": sum(i.file_size for i in infos),
            "archive_bytes": os.path.getsize(zip_path)}


class PackageRecord(E2ETest):
    def info(self, pkg):
        r = run_pkgtool("info", pkg, "--json")
        self.assertEqual(0, r.returncode, r.stderr)
        return json.loads(r.stdout)["package_record"]

    def test_facts_digests_and_checksum_match_independent_readings(self):
        a = make_zip(self.path("a.zip"), {"tool": TOOL, "lib/x": os.urandom(5000)})
        b = make_zip(self.path("b.zip"), {"tool": TOOL, "d/": "", "big": bytes(70000)})
        single = build_package(self.path("single"), a)
        pair = build_package(self.path("pair"), None, pair=(a, b))
        for pkg, images in ((single, [a]), (pair, [a, b])):
            with self.subTest(pkg=os.path.basename(pkg)):
                rec = self.info(pkg)
                self.assertEqual(True, rec["valid"])
                self.assertEqual(1, rec["version"])
                self.assertEqual(232, rec["size"])
                want = [expected_facts(z) for z in images]
                want += [{"entries": 0, "unpacked_bytes": 0, "archive_bytes": 0}] * (2 - len(want))
                self.assertEqual(want, rec["images"])
                elements, directory = split_elements(pkg)
                self.assertEqual([hashlib.sha256(e).hexdigest() for e in elements], rec["sha256"])
                with open(pkg, "rb") as f:
                    raw = bytearray(f.read()[-549:-1])
                raw[CHECKSUMS:CHECKSUMS + 16] = bytes(16)
                self.assertEqual([checksum(e) for e in elements[1:4]] + [checksum(bytes(raw))],
                                 rec["checksums"])
                # Element 0 and the zip directories, which the launcher checks
                # without reading the image's data.
                tails = [zip_directory(z) for z in images]
                self.assertEqual(checksum(elements[0]), rec["launcher_checksum"])
                self.assertEqual(checksum(b"".join(tails)), rec["zip_directory_checksum"])
                self.assertEqual([len(t) for t in tails] + [0] * (2 - len(tails)),
                                 rec["zip_directory_bytes"])
                self.assertEqual(0, run_pkgtool("verify", pkg).returncode)
                # The text form shows the same.
                text = run_pkgtool("info", pkg).stdout
                self.assertIn("Package record: version 1, 232 bytes\n", text)
                self.assertIn("  SHA-256 of element 4: %s\n" % rec["sha256"][4], text)

    def test_verify_names_each_part_that_changed(self):
        pkg = build_package(self.path("pkg"), self.image)
        parts = Parts(pkg)
        # One byte changed inside each element, where nothing else checks it.
        where = {0: parts.offset(0) + 1000, 1: parts.offset(1) + parts.sizes[1] // 2,
                 2: parts.offset(2) + 7, 3: parts.offset(3) + 300,
                 4: parts.entry_data_offset("tool")}
        for index, at in where.items():
            with self.subTest(element=index):
                data = bytearray(parts.data)
                data[at] ^= 0x01
                r = run_pkgtool("verify", parts.write(self.path("e%d" % index), data))
                self.assertEqual(1, r.returncode)
                self.assertIn("element %d (%s) is not what was built: its SHA-256 differs "
                              "from the package record's" % (index, (
                                  "the launcher", "the unzip utility", "the global info",
                                  "the command table", "the image")[index]), r.stderr)
                checked = "the launcher's checksum of element %d does not match" % index
                self.assertEqual(index in (0, 1, 2, 3), checked in r.stderr, r.stderr)
        # The record itself: its facts, and any bit of its magic.
        directory = len(parts.data) - 549
        data = bytearray(parts.data)
        data[directory + RECORD + 16] ^= 0x01  # the image's entry count
        r = run_pkgtool("verify", parts.write(self.path("facts"), data))
        self.assertEqual(1, r.returncode)
        self.assertIn("the package record says the image has 0 entries", r.stderr)
        self.assertIn("the launcher's checksum of the directory does not match", r.stderr)
        for bit in range(8):
            data = bytearray(parts.data)
            data[directory + RECORD] ^= 1 << bit
            r = run_pkgtool("verify", parts.write(self.path("magic"), data))
            self.assertEqual(1, r.returncode)
            self.assertIn("the directory's reserved bytes hold neither zeros nor a package "
                          "record: the package is damaged", r.stderr)
            self.assertIn("Package record: damaged", run_pkgtool("info", self.path("magic")).stdout)

    def test_the_launcher_refuses_a_changed_package_before_anything_runs(self):
        pkg = build_package(self.path("pkg"), self.image)
        parts = Parts(pkg)
        directory = len(parts.data) - 549
        damage = {
            "the unzip utility (element 1)": parts.offset(1) + parts.sizes[1] // 2,
            "the global info (element 2)": parts.offset(2) + 4,
            # "./tool" becomes "./toom", another name the image could hold.
            "the command table (element 3)": parts.offset(3) + 12 + len("./too"),
            "the package directory": directory + 4,  # element 1's size
        }
        for bit in (0, 3, 7):
            damage["the package directory (bit %d of the magic)" % bit] = (directory + RECORD, bit)
        damage["the package directory (its image facts)"] = directory + RECORD + 8
        damage["the package directory (its first image size)"] = directory + 280
        for what, at in damage.items():
            with self.subTest(damage=what):
                at, bit = at if isinstance(at, tuple) else (at, 0)
                data = bytearray(parts.data)
                data[at] ^= 1 << bit
                r = self.run_pkg(["-v"], pkg=parts.write(self.path("damaged"), data),
                                 isolated=True)
                self.assertEqual(1, r.returncode, r.stdout)
                name = what.split(" (")[0] if what.startswith("the package directory") else what
                if name == "the package directory" and at == directory + 4:
                    # Sizes that no longer add up are found first.
                    self.assertEqual("Invalid package directory\n", r.stderr)
                else:
                    self.assertEqual("Damaged package: %s is not what was built; get the "
                                     "package again\n" % name, r.stderr)
                self.assertEqual("", r.stdout)
                self.assertNoWorkDir()
        # Cut short, or with bytes behind it: the directory is not found.
        for data in (parts.data[:-1], parts.data + b"\0" * 10, parts.data + b"x"):
            r = self.run_pkg(["-v"], pkg=parts.write(self.path("resized"), data), isolated=True)
            self.assertEqual((1, "Invalid package directory\n"), (r.returncode, r.stderr))
            self.assertNoWorkDir()

    def test_packages_built_before_the_record(self):
        pkg = build_package(self.path("pkg"), self.image)
        with open(pkg, "r+b") as f:
            f.seek(-549 + RECORD, os.SEEK_END)
            f.write(bytes(260))
        self.assertIsNone(self.info(pkg))
        r = run_pkgtool("verify", pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("Package record: none", run_pkgtool("info", pkg).stdout)
        r = self.run_pkg(["-v"], pkg=pkg, isolated=True)
        self.assertEqual(0, r.returncode, r.stderr)


if __name__ == "__main__":
    unittest.main()
