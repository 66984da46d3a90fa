"""Zip images from the common writers, read as their makers meant them:
Info-ZIP zip (65,535 entries, the "PK00" marker through zip -A, its
standard input as the file "-"), 7-Zip, a JDK's jar and java.util.zip (a 4 GiB entry with its Zip64
descriptor), Python's zipfile; names from the Unicode Path field, CP437 and
backslashes from DOS and Windows hosts.  Each is cross-checked with Info-ZIP
unzip and Python's zipfile, and tunzip -l refuses what -o refuses."""
import os
import shutil
import stat
import struct
import subprocess
import unittest
import zipfile
import zlib

from e2e_util import UNZIP, E2ETest, pkgtool
from pkg_util import build_args, read_tree, run_pkgtool, write_tree
from test_tunzip import FILES as TUNZIP_FILES, tunzip

FILES = dict(TUNZIP_FILES, **{"\u00d6lf\u00e4sser/Stra\u00dfe.txt": "a name beyond ASCII\n"})


def listed(archive):
    """tunzip -l: name -> size; the result too."""
    r = tunzip("-l", archive)
    return {n: int(s) for s, n in (l.split(None, 1) for l in r.stdout.splitlines())}, r


def pkgtool_listed(case, archive):
    pkg = case.path(os.path.basename(archive) + ".pkg")
    r = run_pkgtool(*build_args(pkg, archive))
    case.assertEqual(0, r.returncode, r.stderr)
    lines = pkgtool("list", pkg).stdout.splitlines()[1:]
    return {n: int(s) for s, n in (l.split(None, 1) for l in lines)}


def assertRefusedEverywhere(case, archive, message):
    """tunzip -l and -o, and pkgtool build, refuse the archive with the
    message; nothing is written."""
    out = case.path("out-" + os.path.basename(archive))
    os.mkdir(out)
    for args in (["-l", archive], ["-o", archive, "-d", out]):
        r = tunzip(*args)
        case.assertEqual(1, r.returncode, args)
        case.assertIn(message, r.stderr)
    case.assertEqual([], os.listdir(out))
    r = run_pkgtool(*build_args(case.path("refused.pkg"), archive))
    case.assertEqual(1, r.returncode)
    case.assertIn(message, r.stderr)


def central_records(data):
    """The end record's offset, and the directory's records as bytes."""
    end = data.rindex(b"PK\x05\x06")
    count, size, offset = struct.unpack("<HII", data[end + 10:end + 20])
    records, pos = [], offset
    for _ in range(count):
        n, m, k = struct.unpack("<HHH", data[pos + 28:pos + 34])
        records.append(bytes(data[pos:pos + 46 + n + m + k]))
        pos += 46 + n + m + k
    return end, offset, records


class Writers(E2ETest):
    """Each writer's archive lists, unpacks and packs as Python's zipfile
    and Info-ZIP's unzip read it."""

    def setUp(self):
        super().setUp()
        self.src = write_tree(self.path("src"), FILES)

    def assertReadAsOthersRead(self, archive):
        t = subprocess.run(["unzip", "-tq", archive], capture_output=True, text=True)
        self.assertEqual(0, t.returncode, t.stdout + t.stderr)
        with zipfile.ZipFile(archive) as z:
            sizes = {i.filename: i.file_size for i in z.infolist()}
            files = {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
        names, r = listed(archive)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(sizes, names)
        out = self.path("out-" + os.path.basename(archive))
        os.mkdir(out)
        r = tunzip("-o", archive, "-d", out)
        self.assertEqual((0, ""), (r.returncode, r.stderr))
        tree = read_tree(out)
        self.assertEqual(files, {n: d for n, d in tree.items() if d is not None})
        self.assertEqual(sizes, pkgtool_listed(self, archive))

    def test_7zip(self):
        archive = self.path("7z.zip")
        subprocess.run(["7z", "a", "-tzip", "-bd", archive, "."], cwd=self.src, check=True,
                       capture_output=True)
        self.assertReadAsOthersRead(archive)

    def test_info_zip_standard_input(self):
        # zip stores its standard input as "-" with the pipe's mode: a file
        # of that data, as the others write it, and never a FIFO.
        archive = self.path("stdin.zip")
        # ASCII names: Python's zipfile reads zip's others as CP437.
        src = write_tree(self.path("ascii"), TUNZIP_FILES)
        subprocess.run(["zip", "-q", "-r", archive, "."], cwd=src, check=True)
        subprocess.run(["zip", "-q", archive, "-"], input=b"from a pipe\n", check=True)
        out = self.path("out-raw")
        os.mkdir(out)
        r = tunzip("-o", archive, "-d", out)
        self.assertEqual((0, ""), (r.returncode, r.stderr))
        self.assertPlainFile(os.path.join(out, "-"))
        # A package's image holds no top-level name beginning with "-" (the
        # launcher's "chmod 777 *"): renamed by zipnote, mode and all.
        notes = "@ -\n@=lib/stdin\n@ (comment above this line)\n"
        subprocess.run(["zipnote", "-w", archive], input=notes.encode(), check=True)
        with zipfile.ZipFile(archive) as z:
            self.assertTrue(stat.S_ISFIFO(z.getinfo("lib/stdin").external_attr >> 16))
        self.assertReadAsOthersRead(archive)
        pkg = self.path("stdin.zip.pkg")
        self.assertIn("OK", pkgtool("verify", pkg).stdout)
        unpacked = self.path("unpacked")
        pkgtool("unpack", pkg, unpacked)
        for folder in (self.path("out-stdin.zip"), unpacked):
            self.assertPlainFile(os.path.join(folder, "lib", "stdin"))

    def assertPlainFile(self, path):
        st = os.lstat(path)
        self.assertEqual((stat.S_IFREG, 0o644), (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode)))
        with open(path, "rb") as f:
            self.assertEqual(b"from a pipe\n", f.read())

    def test_jar(self):
        archive = self.path("tool.jar")
        subprocess.run(["jar", "cf", archive, "-C", self.src, "."], check=True)
        with zipfile.ZipFile(archive) as z:
            self.assertIn("META-INF/MANIFEST.MF", z.namelist())
            self.assertTrue(z.getinfo("tool").flag_bits & 0x08)  # data descriptors
        self.assertReadAsOthersRead(archive)

    def test_info_zip_with_65535_entries(self):
        # zip writes the count 0xFFFF and no Zip64 end record for exactly as many.
        many = self.path("many")
        os.mkdir(many)
        for i in range(0xFFFF):
            open(os.path.join(many, "%05d" % i), "w").close()
        archive = self.path("many.zip")
        subprocess.run(["zip", "-q", "-r", archive, "."], cwd=many, check=True)
        with open(archive, "rb") as f:
            data = f.read()
        end = data.rindex(b"PK\x05\x06")
        self.assertEqual((0xFFFF, 0xFFFF), struct.unpack("<HH", data[end + 8:end + 12]))
        self.assertNotIn(b"PK\x06\x06", data)
        shutil.rmtree(many)
        self.assertReadAsOthersRead(archive)

    def test_java_zip64_descriptor_of_a_4_gib_entry(self):
        """java.util.zip gives an entry of 4 GiB a 24-byte descriptor and no
        Zip64 field in its local header."""
        java = self.path("java")
        os.mkdir(java)
        with open(os.path.join(java, "Big.java"), "w") as f:
            f.write(BIG_JAVA)
        subprocess.run(["javac", "-d", java, os.path.join(java, "Big.java")], check=True)
        archive = self.path("big.zip")
        size = 4 << 30
        subprocess.run(["java", "-cp", java, "Big", archive, str(size)], check=True)
        with open(archive, "rb") as f:
            data = f.read()
        with zipfile.ZipFile(archive) as z:
            info = z.getinfo("zeros")
        self.assertEqual(size, info.file_size)
        local = info.header_offset
        self.assertEqual(0, struct.unpack("<H", data[local + 28:local + 30])[0])  # no extra
        after = local + 30 + len("zeros") + info.compress_size
        self.assertEqual(b"PK\x07\x08", data[after:after + 4])
        self.assertEqual((info.CRC, info.compress_size, size),
                         struct.unpack("<IQQ", data[after + 4:after + 24]))
        self.assertEqual(b"PK\x01\x02", data[after + 24:after + 28])
        names, r = listed(archive)
        self.assertEqual(({"tool": 20, "zeros": size}, 0), (names, r.returncode), r.stderr)
        self.assertEqual(names, pkgtool_listed(self, archive))  # its data checked too
        out = self.path("big")
        os.mkdir(out)
        try:
            r = tunzip("-o", archive, "-d", out)
            self.assertEqual((0, ""), (r.returncode, r.stderr))
            self.assertEqual(size, os.path.getsize(os.path.join(out, "zeros")))
        finally:
            shutil.rmtree(out)


BIG_JAVA = r"""
import java.io.*;
import java.util.zip.*;

public class Big {
    public static void main(String[] args) throws Exception {
        try (ZipOutputStream z = new ZipOutputStream(
                 new BufferedOutputStream(new FileOutputStream(args[0])))) {
            z.setLevel(Deflater.BEST_SPEED);
            z.putNextEntry(new ZipEntry("tool"));
            z.write("#!/bin/sh\necho tool\n".getBytes("UTF-8"));
            z.closeEntry();
            z.putNextEntry(new ZipEntry("zeros"));
            byte[] block = new byte[1 << 20];
            long size = Long.parseLong(args[1]);
            for (long done = 0; done < size; done += block.length)
                z.write(block, 0, (int) Math.min(block.length, size - done));
            z.closeEntry();
        }
    }
}
"""


def dos_zip(path, entries):
    """A zip from a DOS host (create_system 0): entries are (stored name
    bytes, data, extra) in order, the names without the UTF-8 flag."""
    with zipfile.ZipFile(path, "w") as z:
        for i, (name, data, extra) in enumerate(entries):
            info = zipfile.ZipInfo("%03d" % i + "x" * (len(name) - 3))
            info.create_system = 0
            info.extra = extra
            z.writestr(info, data)
    # zipfile encodes names itself: the stored bytes go in afterwards.
    with open(path, "rb") as f:
        raw = f.read()
    for i, (name, _, _) in enumerate(entries):
        placeholder = ("%03d" % i + "x" * (len(name) - 3)).encode()
        assert raw.count(placeholder) == 2
        raw = raw.replace(placeholder, name)
    with open(path, "wb") as f:
        f.write(raw)
    return path


def unicode_path(header, name, crc_delta=0):
    n = name.encode()
    return struct.pack("<HHBI", 0x7075, 5 + len(n), 1, zlib.crc32(header) + crc_delta) + n


class Names(E2ETest):
    def unpacked(self, archive, argv, statuses=(0,)):
        """The tree argv + [archive] unpacks in a fresh folder."""
        out = self.path("out-%d" % len(os.listdir(self.dir)))
        os.mkdir(out)
        r = subprocess.run(argv + [archive], cwd=out, capture_output=True, text=True)
        self.assertIn(r.returncode, statuses, r.stderr)
        return read_tree(out)

    def test_the_unicode_path_field_as_winzip_writes_it(self):
        archive = dos_zip(self.path("winzip.zip"), [
            (b"dir/_lf_sser.txt", b"oil", unicode_path(b"dir/_lf_sser.txt",
                                                        "dir\\\u00d6lf\u00e4sser.txt")),
            (b"dir/_ber.txt", b"over", unicode_path(b"dir/_ber.txt", "dir\\\u00dcber.txt")),
            # A field naming another header name is passed over.
            (b"stale.txt", b"stale", unicode_path(b"stale.txt", "fresh.txt", crc_delta=1)),
        ])
        expected = {"dir/": None, "dir/\u00d6lf\u00e4sser.txt": b"oil",
                    "dir/\u00dcber.txt": b"over", "stale.txt": b"stale"}
        # unzip warns of the backslashes (status 1) and takes them as separators.
        self.assertEqual(expected, self.unpacked(archive, ["unzip", "-q"], statuses=(0, 1)))
        self.assertEqual(expected, self.unpacked(archive, [UNZIP, "-o"]))
        names, r = listed(archive)
        self.assertEqual({n for n in expected if expected[n] is not None}, set(names))
        self.assertEqual(names, pkgtool_listed(self, archive))

    def test_cp437_names_from_dos_hosts(self):
        high = bytes(range(0x80, 0x100))
        entries = [(b"cp-" + high[i:i + 32], b"%d" % i, b"") for i in range(0, 128, 32)]
        entries.append((b"win\\Stra\xe1e.txt", b"street", b""))
        archive = dos_zip(self.path("cp437.zip"), entries)
        # Python's zipfile decodes names without the UTF-8 flag as CP437
        # (and leaves backslashes).
        with zipfile.ZipFile(archive) as z:
            python = {i.filename.replace("\\", "/"): z.read(i) for i in z.infolist()}
        self.assertEqual({n.decode("cp437").replace("\\", "/") for n, _, _ in entries},
                         set(python))
        tree = self.unpacked(archive, [UNZIP, "-o"])
        self.assertEqual(dict(python, **{"win/": None}), tree)
        names, r = listed(archive)
        self.assertEqual(set(python), set(names))
        self.assertEqual(names, pkgtool_listed(self, archive))

    def test_names_from_unix_hosts_stay_their_bytes(self):
        archive = self.path("unix.zip")
        with zipfile.ZipFile(archive, "w") as z:
            info = zipfile.ZipInfo("cp-xx")
            info.create_system = 3
            z.writestr(info, "raw")
        with open(archive, "rb") as f:
            raw = f.read().replace(b"cp-xx", b"cp-\x99\x84")
        with open(archive, "wb") as f:
            f.write(raw)
        out = self.path("out")
        os.mkdir(out)
        self.assertEqual(0, tunzip("-o", archive, "-d", out).returncode)
        self.assertEqual([b"cp-\x99\x84"], os.listdir(out.encode()))

    def test_converted_names_go_through_the_same_checks(self):
        cases = {
            "dots": ([(b"..\\evil", b"x", b"")], "entry '../evil': a \".\" or \"..\" part"),
            "absolute": ([(b"\\etc\\passwd", b"x", b"")], "entry '/etc/passwd': an absolute"),
            "unicode dots": ([(b"fine", b"x", unicode_path(b"fine", "..\\x"))],
                             "entry '../x': a \".\" or \"..\" part"),
            "duplicate": ([(b"Dir\\\x99l", b"1", b""), (b"Dir/\xc3\x96l", b"2", b"")],
                          "entry 'Dir/\u00d6l': two entries for the same path"),
        }
        for case, (entries, message) in cases.items():
            with self.subTest(case=case):
                archive = dos_zip(self.path(case.replace(" ", "-") + ".zip"), entries)
                assertRefusedEverywhere(self, archive, message)


class Layouts(E2ETest):
    """Archives other writers read alike: accepted; and what stays refused,
    each with its cause."""

    def zipped(self, name, files=None):
        src = write_tree(self.path("src-" + name), files or {"a": "alpha\n", "b": "beta " * 300})
        archive = self.path(name + ".zip")
        subprocess.run(["zip", "-q", "-r", archive, "."], cwd=src, check=True)
        return archive

    def assertAllRead(self, archive):
        t = subprocess.run(["unzip", "-tq", archive], capture_output=True, text=True)
        self.assertEqual(0, t.returncode, t.stdout)
        with zipfile.ZipFile(archive) as z:
            expected = {i.filename: z.read(i) for i in z.infolist()}
        out = self.path("out-" + os.path.basename(archive))
        os.mkdir(out)
        r = tunzip("-o", archive, "-d", out)
        self.assertEqual((0, ""), (r.returncode, r.stderr))
        self.assertEqual(expected, read_tree(out))

    def test_a_directory_in_another_order_than_the_data(self):
        archive = self.zipped("order", {"a": "alpha\n", "b": "beta\n", "c": "gamma " * 100})
        with open(archive, "rb") as f:
            data = bytearray(f.read())
        with zipfile.ZipFile(archive) as z:
            names = z.namelist()
        end, offset, records = central_records(data)
        data[offset:end] = b"".join(reversed(records))
        with open(archive, "wb") as f:
            f.write(data)
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(names[::-1], z.namelist())
        self.assertAllRead(archive)

    def test_the_pk00_marker_through_zip_a(self):
        archive = self.zipped("pk00")
        with open(archive, "rb") as f:
            data = f.read()
        for front, accepted in ((b"PK00", True), (b"MZ\x90\x00", False)):
            marked = self.path("marked-%s.zip" % front[:2].decode())
            with open(marked, "wb") as f:
                f.write(front + data)
            subprocess.run(["zip", "-q", "-A", marked], check=True, capture_output=True)
            if accepted:
                self.assertAllRead(marked)
            else:
                r = tunzip("-l", marked)
                self.assertEqual(1, r.returncode)
                self.assertIn("data in front of the first entry", r.stderr)

    def test_saturated_disk_fields_beside_a_zip64_end_record(self):
        src = write_tree(self.path("src"), {"a": "alpha\n"})
        for name, options, accepted in (("fz", ["-fz"], True), ("plain", [], False)):
            archive = self.path(name + ".zip")
            subprocess.run(["zip", "-q", *options, archive, "a"], cwd=src, check=True)
            with open(archive, "rb") as f:
                data = bytearray(f.read())
            end = data.rindex(b"PK\x05\x06")
            data[end + 4:end + 8] = b"\xff\xff\xff\xff"
            with open(archive, "wb") as f:
                f.write(data)
            if accepted:
                self.assertAllRead(archive)
            else:
                assertRefusedEverywhere(self, archive, "saturated (0xFFFF) end-record fields "
                                        "without a Zip64 end record")

    def test_unused_bytes_after_a_deflate_stream(self):
        for size in (3000, 6 << 20):  # the utility's buffer, and past it
            with self.subTest(size=size):
                archive = self.path("unused-%d.zip" % size)
                with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
                    z.writestr("tool", os.urandom(size // 2) + bytes(size - size // 2))
                with open(archive, "rb") as f:
                    data = bytearray(f.read())
                end, offset, records = central_records(data)
                junk = b"\x00unused"
                # The compressed size grows by the junk, in both headers.
                for at in (18, offset + 20):
                    (n,) = struct.unpack("<I", data[at:at + 4])
                    data[at:at + 4] = struct.pack("<I", n + len(junk))
                data[end + 16:end + 20] = struct.pack("<I", offset + len(junk))
                data[offset:offset] = junk
                with open(archive, "wb") as f:
                    f.write(data)
                self.assertAllRead(archive)
                r = run_pkgtool(*build_args(self.path("unused.pkg"), archive))
                self.assertEqual(0, r.returncode, r.stderr)

    def test_still_refused_with_their_cause(self):
        # An APK-like signing block between the last entry and the directory.
        archive = self.zipped("signed")
        with open(archive, "rb") as f:
            data = bytearray(f.read())
        end, offset, _ = central_records(data)
        block = struct.pack("<Q", 24) + b"\0" * 8 + b"APK Sig Block 42"
        data[end + 16:end + 20] = struct.pack("<I", offset + len(block))
        data[offset:offset] = block
        with open(archive, "wb") as f:
            f.write(data)
        # A file where another entry needs a folder.
        clash = self.path("clash.zip")
        with zipfile.ZipFile(clash, "w") as z:
            z.writestr("lib", "a file")
            z.writestr("lib/helper.sh", "below it")
        for path, message in (
                (archive, "bytes between the last entry and the central directory"),
                (clash, "entry 'lib/helper.sh': a file where another entry needs a folder")):
            with self.subTest(message=message):
                assertRefusedEverywhere(self, path, message)


if __name__ == "__main__":
    unittest.main()
