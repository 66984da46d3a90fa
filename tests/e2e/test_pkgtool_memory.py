"""pkgtool's memory stays bounded whatever an image unpacks to: a 1 MB image
holding 1 GiB of zeros goes through build, verify, sbom and unpack under a
real memory limit (an address-space limit, and a 64 MB memory cgroup)."""
import hashlib
import json
import os
import resource
import shutil
import subprocess
import tempfile
import unittest
import zipfile

from e2e_util import LAUNCHER, PKGTOOL, SANITIZED, TOOL, UNZIP
from pkg_util import build_args

LIMIT = 64 << 20
GIB = 1 << 30
CGROUP_V1 = "/sys/fs/cgroup/memory"


def zeros_image(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("tool", TOOL)
        with z.open("zeros", "w", force_zip64=True) as f:
            block = bytes(1 << 20)
            for _ in range(GIB >> 20):
                f.write(block)
    return path


def limited_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


class MemoryCgroup:
    """A memory cgroup (version 1, the controller this machine has) of
    LIMIT bytes that the commands run in; removed when done."""

    def __init__(self):
        self.path = os.path.join(CGROUP_V1, "trell-test-%d" % os.getpid())

    @staticmethod
    def available():
        return os.geteuid() == 0 and os.path.exists(os.path.join(CGROUP_V1,
                                                                 "memory.limit_in_bytes"))

    def __enter__(self):
        os.mkdir(self.path)
        self.write("memory.limit_in_bytes", LIMIT)
        return self

    def __exit__(self, *exc):
        os.rmdir(self.path)

    def write(self, name, value):
        with open(os.path.join(self.path, name), "w") as f:
            f.write(str(value))

    def read(self, name):
        with open(os.path.join(self.path, name)) as f:
            return f.read()

    def run(self, argv):
        """Runs argv inside the cgroup, from its first instruction on."""
        script = 'echo $$ > "$0/cgroup.procs" && exec "$@"'
        return subprocess.run(["sh", "-c", script, self.path, *argv], capture_output=True,
                              text=True, timeout=300)


class BoundedMemory(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="trell-memory-", dir="/var/tmp")
        cls.image = zeros_image(os.path.join(cls.dir, "zeros.zip"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_a_small_package_whose_entry_is_read_as_large(self):
        # What the other cases rest on, as pkgtool and tunzip read it: a
        # package of about a megabyte whose entry unpacks to 1 GiB.
        pkg = self.path("listed.pkg")
        r = subprocess.run([PKGTOOL, *build_args(pkg, self.image)], capture_output=True,
                           text=True, timeout=300)
        self.assertEqual(0, r.returncode, r.stderr)
        stubs = os.path.getsize(LAUNCHER) + os.path.getsize(UNZIP)
        self.assertLess(os.path.getsize(pkg), os.path.getsize(self.image) + stubs + (64 << 10))
        self.assertLess(os.path.getsize(self.image), 1100 << 10)
        for argv in ([PKGTOOL, "list", pkg], [UNZIP, "-l", self.image]):
            with self.subTest(command=argv[:2]):
                r = subprocess.run(argv, capture_output=True, text=True, timeout=60)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertIn("%12d  zeros" % GIB, r.stdout)

    def test_build_verify_and_sbom_within_an_address_space_limit(self):
        if SANITIZED:
            self.skipTest("the sanitizers reserve more address space than the limit")
        pkg = self.path("as.pkg")
        for argv in ([PKGTOOL, *build_args(pkg, self.image)], [PKGTOOL, "verify", pkg],
                     [PKGTOOL, "sbom", pkg]):
            with self.subTest(command=argv[1]):
                r = subprocess.run(argv, capture_output=True, text=True, timeout=300,
                                   preexec_fn=limited_address_space)
                self.assertEqual(0, r.returncode, r.stderr)
                if argv[1] == "verify":
                    self.assertIn("OK", r.stdout)
        # The bill of materials hashed the whole entry as it streamed by.
        zeros = hashlib.sha256()
        block = bytes(1 << 20)
        for _ in range(GIB >> 20):
            zeros.update(block)
        files = json.loads(r.stdout)["components"][2]["components"]
        self.assertEqual([zeros.hexdigest()],
                         [f["hashes"][0]["content"] for f in files if f["name"] == "zeros"])

    def test_damage_deep_in_the_large_entry_is_found(self):
        with open(self.image, "rb") as f:
            data = bytearray(f.read())
        with zipfile.ZipFile(self.image) as z:
            info = z.getinfo("zeros")
        start = info.header_offset + 30 + len("zeros")
        data[start + 2 * info.compress_size // 3 + 64] ^= 0x10
        bad = self.path("bad.zip")
        with open(bad, "wb") as f:
            f.write(data)
        r = subprocess.run([PKGTOOL, *build_args(self.path("bad.pkg"), bad)],
                           capture_output=True, text=True, timeout=300)
        self.assertEqual(1, r.returncode)
        self.assertRegex(r.stderr, r"entry 'zeros' is damaged: (damaged compressed data|CRC-32 "
                                   r"mismatch)")
        self.assertFalse(os.path.exists(self.path("bad.pkg")))

    def test_build_verify_and_unpack_in_a_memory_cgroup(self):
        if not MemoryCgroup.available():
            self.skipTest("no memory cgroup to make here (root and cgroup v1's memory "
                          "controller needed)")
        pkg = self.path("cg.pkg")
        out = self.path("out")
        with MemoryCgroup() as cg:
            for argv in ([PKGTOOL, *build_args(pkg, self.image)], [PKGTOOL, "verify", pkg],
                         [PKGTOOL, "unpack", pkg, out]):
                with self.subTest(command=argv[1]):
                    r = cg.run(argv)
                    self.assertEqual(0, r.returncode, r.stderr)
            self.assertIn("oom_kill 0", cg.read("memory.oom_control"))
        self.assertEqual(GIB, os.path.getsize(os.path.join(out, "zeros")))
        with open(os.path.join(out, "zeros"), "rb") as f:
            for offset in (0, GIB // 2, GIB - 4096):
                f.seek(offset)
                self.assertEqual(bytes(4096), f.read(4096))


if __name__ == "__main__":
    unittest.main()
