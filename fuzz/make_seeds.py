#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run it again after a change of the layouts:  /usr/bin/python3 fuzz/make_seeds.py
Its output is kept in the repository; the seeds are small on purpose."""
import hashlib
import io
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

DIR_SIZE = 548
FIRST_IMAGE_ENTRY = 70
SECOND_IMAGE_ENTRY = 136
END_MARKER = b"\xff"


def tiny_zip(name, text):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        info = zipfile.ZipInfo(name, date_time=(2010, 3, 5, 14, 7, 8))
        info.external_attr = 0o755 << 16
        z.writestr(info, text)
    return out.getvalue()


def record(dist, release, arch, command, args, mode):
    command = command.encode()
    args = args.encode()
    assert len(command) < 128 and len(args) < 256
    return (struct.pack("<iii", dist, release, arch) + command.ljust(128, b"\0") +
            args.ljust(256, b"\0") + struct.pack("<i", mode))


def checksum(data):
    return struct.pack("<I", int.from_bytes(
        hashlib.blake2b(data, digest_size=16).digest()[:4], "little"))


def with_record(pkg):
    """The package with a package record (facts left zero, digests too) whose
    checksums match it, as the launcher checks them."""
    data = bytearray(pkg)
    d = struct.unpack_from("<5i", data, len(data) - DIR_SIZE - 1)
    start = len(data) - DIR_SIZE - 1
    rec = start + 20
    data[rec:rec + 8] = b"TPKR" + struct.pack("<HH", 1, 216)
    offsets = [sum(d[:i]) for i in range(5)]
    for n, i in enumerate((1, 2, 3)):
        data[rec + 200 + 4 * n:rec + 204 + 4 * n] = checksum(bytes(data[offsets[i]:offsets[i] + d[i]]))
    data[rec + 212:rec + 216] = checksum(bytes(data[start:start + DIR_SIZE]))
    return bytes(data)


def signature_block(pkg, comment=b"trell package seed"):
    """A signature block in the package's slot, with zeros for signatures."""
    block = (b"TRSIGBLK" + b"ED" + bytes(range(8)) + bytes(64) + struct.pack("<H", len(comment))
             + comment + bytes(64))
    block += struct.pack("<II", len(block) + 16, 0) + b"TRSIGEND"
    return pkg + bytes((8 - len(pkg) % 8) % 8) + block


def package(records, count=None, strict=0, images=None, global_info=None):
    launcher = b"\x7fELF" + bytes(range(60))  # a fake 64-byte launcher
    unzip = b"#!/bin/sh\nexit 0\n"
    if global_info is None:
        global_info = struct.pack("<ii", len(records) if count is None else count, strict)
    table = b"".join(records)
    images = images or [tiny_zip("tool", "#!/bin/sh\necho hello\n")]
    image = b"".join(images)
    elements = [launcher, unzip, global_info, table, image]
    directory = bytearray(DIR_SIZE)
    struct.pack_into("<5i", directory, 0, *(len(e) for e in elements))
    if len(images) == 2:
        struct.pack_into("<i", directory, 4 * FIRST_IMAGE_ENTRY, len(images[0]))
        struct.pack_into("<i", directory, 4 * SECOND_IMAGE_ENTRY, len(images[1]))
    return b"".join(elements) + bytes(directory) + END_MARKER


def package_seeds():
    redhat = record(3, 5, 2, "./tool", "", 0)
    suse = record(2, 10, 1, "./tool", "--suse -d /var/log/x", 1)
    pair = [tiny_zip("tool", "#!/bin/sh\necho x86\n"), tiny_zip("tool", "#!/bin/sh\necho x64\n")]
    single = package([redhat])
    # The package followed by three alignment bytes and a signature whose last
    # byte gives its size (13), as the target reads it.
    signature = b"SIGNATURE...\x0d"
    assert len(signature) == 13
    return {
        "single_image": single,
        "image_pair_strict": package([suse, record(3, 5, 2, "./tool", "-v", 2)], strict=1,
                                     images=pair),
        "signed": single + b"\0\0\0" + signature,
        "with_record": with_record(single),
        "with_record_signed": signature_block(with_record(single)),
        "count_over_table": package([redhat], count=3),
        "short_global_info": package([redhat], global_info=b"\x01\0\0\0"),
        "unterminated_command": package([redhat[:12] + b"x" * 128 + redhat[140:]]),
    }


def cmdline_seeds():
    # mode, command buffer size (0: 2048), value buffer size (0: 1024), fields.
    def seed(mode, out, value, fields):
        return bytes([mode, out, value]) + "\n".join(fields).encode()
    return {
        "no_arguments": seed(0, 0, 0, ["./tool", ""]),
        "value_then_option": seed(0, 0, 0, ["./tool", "", "-d", "/var/log/x", "-v"]),
        "plain_words": seed(0, 0, 0, ["./tool", "", "-i", "a", "b"]),
        "html": seed(0, 0, 0, ["./tool", "", "-html", "out"]),
        "mode1": seed(1, 0, 0, ["./tool", "--suse", "/dev/sda1", "x"]),
        "mode2": seed(2, 0, 0, ["./tool", "-a -b", "-u", "v"]),
        "small_buffers": seed(1, 24, 8, ["./tool", "$HOME `id` \"q\" \\", "-r", "long value"]),
        "quote_specials": seed(7, 40, 0, ["/abs/$(x)", "rel \"dir\"", "-d", "a b"]),
    }


def platform_seeds():
    # Byte 0: distribution (2 + b % 3: 0 SuSE, 1 Red Hat, 2 Novell); then the text.
    def seed(dist, text):
        return bytes([dist]) + text
    return {
        "x86_64_redhat": seed(1, b"x86_64\n"),
        "i386": seed(1, b"i386\n"),
        "ppc64": seed(0, b"ppc64\n"),
        "aarch64": seed(1, b"aarch64\n"),
        "s390x": seed(0, b"s390x\n"),
        # Found the leak of the previous unknown-architecture message.
        "i686": seed(0, b"i686\n"),
        "long_token": seed(1, b"a" * 200 + b"\n"),
        "redhat_release": seed(1, b"Red Hat Enterprise Linux Server release 5.4 (Tikanga)\n"),
        "suse_release": seed(0, b"SUSE Linux Enterprise Server 10 (x86_64)\nVERSION = 10\n"
                                b"PATCHLEVEL = 2\n"),
        "novell_release": seed(0, b"Novell Linux Desktop 9 (i586)\nVERSION = 9\nPATCHLEVEL = 1\n"),
        "token_then_blanks": seed(1, b"release  5"),
        # The whole 2,048-byte buffer filled: the token and the text keep 2,047.
        "full_buffer_token": seed(1, b"x" * 2048),
        "token_past_buffer": seed(1, b"a" * 2044 + b"release 5"),
        "uname_unknown": seed(1, b"unknown\n"),
        "os_release_sles": seed(0, b'NAME="SLES"\nVERSION_ID="15.5"\nID="sles"\nID_LIKE="suse"\n'),
        "os_release_quoting": seed(9, b"# c\n  ID=r'h'\"el\"\nID_LIKE=\"a \\\"b\\\" ol\"\n"
                                      b"VERSION_ID='8.1'\r\nID=\"open\n"),
        "os_release_ubuntu": seed(1, b'NAME="Ubuntu"\nVERSION_ID="22.04"\nID=ubuntu\n'
                                     b'ID_LIKE=debian\n'),
        "os_release_mint": seed(0, b'ID=linuxmint\nID_LIKE="ubuntu debian"\nVERSION_ID="21.3"\n'),
        "os_release_nul": seed(3, b"ID=rhel\0ID=x\nID_LIKE=opensuse-leap\nVERSION_ID=\n"),
    }


def zip_seeds():
    def zip_of(files, method=zipfile.ZIP_DEFLATED, zip64=False, comment=b""):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", method) as z:
            for name, text in files.items():
                info = zipfile.ZipInfo(name, date_time=(2010, 3, 5, 14, 7, 8))
                info.external_attr = (0o40755 if name.endswith("/") else 0o100755) << 16
                info.compress_type = method
                with z.open(info, "w", force_zip64=zip64) as f:
                    f.write(text.encode())
            z.comment = comment
        return out.getvalue()

    class Stream(io.RawIOBase):
        """Unseekable: zipfile writes data descriptors."""
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, b):
            self.data += b
            return len(b)

    stream = Stream()
    with zipfile.ZipFile(stream, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("tool", "#!/bin/sh\necho described\n" * 3)
    files = {"tool": "#!/bin/sh\necho hello\n" * 4, "lib/": "", "lib/a.txt": "text " * 20}
    plain = zip_of(files)
    # A second archive in the first one's comment: two end records.
    hidden = zip_of({"tool": "#!/bin/sh\necho other\n"}, zipfile.ZIP_STORED)
    two = plain[:-2] + len(hidden).to_bytes(2, "little") + hidden
    return {
        "deflated": plain,
        "stored": zip_of(files, zipfile.ZIP_STORED),
        "zip64_entries": zip_of(files, zip64=True),
        "comment": zip_of(files, comment=b"a comment"),
        "descriptors": bytes(stream.data),
        "empty": zip_of({}),
        "two_end_records": two,
    }


def main():
    for target, seeds in (("package_reader_fuzz", package_seeds()),
                          ("zipread_fuzz", zip_seeds()),
                          ("cmdline_fuzz", cmdline_seeds()),
                          ("platform_parse_fuzz", platform_seeds())):
        folder = os.path.join(CORPUS, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
