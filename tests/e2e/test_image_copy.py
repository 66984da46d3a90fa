"""The launcher's copy of the image into the work directory: in the kernel
with copy_file_range within one file system, with sendfile where that is
refused (between file systems of different types), and through its 128 KiB
buffer where the kernel refuses both, as kernels before Linux 4.5 and
2.6.33 do (reproduced with a seccomp filter).  strace shows which way each
copy went; the unpacked files show that it was whole."""
import ctypes
import errno
import os
import re
import shutil
import struct
import subprocess
import unittest

from e2e_util import TOOL, E2ETest, build_package, make_zip

STRACE = shutil.which("strace")
CHUNK = 131072

# x86-64 system call numbers and the seccomp and BPF constants they need.
NR = {"sendfile": 40, "copy_file_range": 326}
AUDIT_ARCH_X86_64 = 0xC000003E
SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO = 0x7FFF0000, 0x00050000
BPF_LD_W_ABS, BPF_JEQ_K, BPF_RET_K = 0x20, 0x15, 0x06
PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2


def refuse_calls(refusals):
    """Installs a seccomp filter in this process (for preexec_fn) under
    which each named system call fails with its errno; the filter goes on
    to every program the process starts."""
    prog = [(BPF_LD_W_ABS, 0, 0, 4),  # the architecture
            (BPF_JEQ_K, 0, 2 * len(refusals) + 1, AUDIT_ARCH_X86_64),
            (BPF_LD_W_ABS, 0, 0, 0)]  # the call's number
    for name, err in refusals.items():
        prog += [(BPF_JEQ_K, 0, 1, NR[name]), (BPF_RET_K, 0, 0, SECCOMP_RET_ERRNO | err)]
    prog.append((BPF_RET_K, 0, 0, SECCOMP_RET_ALLOW))
    filters = b"".join(struct.pack("HBBI", *p) for p in prog)
    buf = ctypes.create_string_buffer(filters)
    fprog = struct.pack("HxxxxxxP", len(prog), ctypes.addressof(buf))
    fbuf = ctypes.create_string_buffer(fprog)
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl.argtypes = [ctypes.c_int] + [ctypes.c_ulong] * 4
    if (libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or
            libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(fbuf), 0, 0) != 0):
        os._exit(120)


@unittest.skipUnless(STRACE, "strace is needed to see the copy")
class ImageCopy(E2ETest):
    def setUp(self):
        super().setUp()
        # Not a whole number of chunks, and data that does not compress.
        self.blob = os.urandom(3 * CHUNK + 1000)
        image = make_zip(self.path("big.zip"), {"tool": TOOL, "blob": self.blob})
        self.image_size = os.path.getsize(image)
        self.big = build_package(self.path("big"), image)

    def copy(self, setup="", refusals=None):
        """Extracts the package with the private /tmp (set up further by
        setup) and returns the launcher's image-copy calls as strace saw
        them: (call, its length argument, its result or errno's name), in
        order."""
        out = self.path("out")
        shutil.rmtree(out, ignore_errors=True)
        trace = self.path("trace")
        argv = self.isolated([STRACE, "-qq", "-s", "0", "-e", "signal=none", "-o", trace,
                              "-e", "trace=copy_file_range,sendfile,read,write",
                              self.big, "--extract", out], setup=setup)
        # A sanitized build's leak check cannot run under strace.
        env = dict(self.env, ASAN_OPTIONS=self.env.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        r = subprocess.run(argv, env=env, cwd=self.dir, capture_output=True, text=True,
                           timeout=60,
                           preexec_fn=(lambda: refuse_calls(refusals)) if refusals else None)
        self.assertEqual(0, r.returncode, r.stderr)
        with open(os.path.join(out, "blob"), "rb") as f:
            self.assertTrue(f.read() == self.blob, "the unpacked blob differs")
        calls = []
        with open(trace) as f:
            for line in f:
                m = re.match(r"(copy_file_range|sendfile|read|write)\((.*)\)\s+= "
                             r"(-1 (E[A-Z]+)|\d+)", line)
                if m:
                    args = m.group(2).split(", ")
                    length = int(args[-2] if m.group(1) == "copy_file_range" else args[-1])
                    calls.append((m.group(1), length, m.group(4) or int(m.group(3))))
        # The image is the first element copied; the unzip utility follows.
        return [c for c in calls if c[0] not in ("read", "write") or c[1] == CHUNK or
                c[2] == self.image_size % CHUNK]

    def test_within_one_file_system_copy_file_range_copies_it_whole(self):
        calls = self.copy()
        self.assertEqual(("copy_file_range", self.image_size, self.image_size), calls[0])
        self.assertNotIn("read", [c[0] for c in calls])

    def test_onto_another_file_system_type_sendfile_copies_it(self):
        # The package lies on the test's file system, /tmp is a tmpfs.
        calls = self.copy(setup="mount -t tmpfs trelltmp /tmp && chmod 1777 /tmp")
        self.assertEqual([("copy_file_range", self.image_size, "EXDEV"),
                          ("sendfile", self.image_size, self.image_size)], calls[:2])

    def test_where_the_kernel_refuses_both_the_buffer_copies_it(self):
        calls = self.copy(refusals={"copy_file_range": errno.ENOSYS,
                                    "sendfile": errno.EINVAL})
        self.assertEqual([("copy_file_range", self.image_size, "ENOSYS"),
                          ("sendfile", self.image_size, "EINVAL")], calls[:2])
        # Three whole chunks and the rest, each read and written once.
        tail = self.image_size % CHUNK
        expected = []
        for n in (CHUNK, CHUNK, CHUNK, tail):
            expected += [("read", n, n), ("write", n, n)]
        self.assertEqual(expected, calls[2:10])


if __name__ == "__main__":
    unittest.main()
