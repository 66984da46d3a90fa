"""tunzip, the unzip utility packages carry: archives of the common writers
read as Info-ZIP unzip and Python's zipfile read them, ambiguous archives
refused by it and by pkgtool alike, and every failure to write reported."""
import io
import os
import re
import shutil
import resource
import signal
import stat
import struct
import subprocess
import tempfile
import time
import unittest
import warnings
import zipfile

from e2e_util import (LAUNCHER, MINIUNZIP, NAMESPACES, NO_NAMESPACES, PKGTOOL, TOOL, UNZIP,
                      E2ETest, assemble, build_package, make_zip, pkgtool, record_bytes, tool_args)
from pkg_util import Parts, copy_launcher_and_unzip, read_tree, write_tree, zip_bytes

FILES = {
    "tool": "#!/bin/sh\necho tool\n",
    "lib/helper.sh": "#!/bin/sh\necho helper\n",
    "lib/deep/data.txt": "words " * 5000,
    "docs/read me.txt": "a text with blanks in its name\n",
    "random.bin": os.urandom(300 << 10),
    "empty": "",
    "folder/": None,
}


def tunzip(*args, cwd=None, preexec_fn=None):
    return tunzip_with([UNZIP], *args, cwd=cwd, preexec_fn=preexec_fn)


def tunzip_with(argv, *args, cwd=None, preexec_fn=None):
    """Runs the unzip utility that argv starts (under emulation, say)."""
    return subprocess.run([*argv, *args], cwd=cwd, capture_output=True, text=True,
                          preexec_fn=preexec_fn, timeout=120)


def mode(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


class Writers(E2ETest):
    """The same files zipped by each common writer: tunzip lists and unpacks
    what Python's zipfile reads, and Info-ZIP's unzip -t finds each sound."""

    def setUp(self):
        super().setUp()
        self.src = write_tree(self.path("src"), FILES)

    def tunzip(self, *args):
        return tunzip(*args)

    def info_zip(self, name, *options):
        out = self.path(name)
        subprocess.run(["zip", "-q", "-r", *options, out, "."], cwd=self.src, check=True)
        return out

    def python_zip(self, name, zip64=False):
        out = self.path(name)
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            for n in sorted(FILES):
                if FILES[n] is None:
                    z.writestr(n, "")
                    continue
                info = zipfile.ZipInfo(n, date_time=(2020, 1, 2, 3, 4, 6))
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = (0o100755 if n.endswith(".sh") or n == "tool"
                                      else 0o100644) << 16
                data = FILES[n].encode() if isinstance(FILES[n], str) else FILES[n]
                with z.open(info, "w", force_zip64=zip64) as f:
                    f.write(data)
        return out

    def streamed_zip(self, name):
        """Written to a pipe-like stream: data descriptors, no seeking back."""
        class Unseekable(io.RawIOBase):
            def __init__(self, f):
                self.f = f

            def writable(self):
                return True

            def write(self, b):
                return self.f.write(b)

        out = self.path(name)
        with open(out, "wb") as f, zipfile.ZipFile(Unseekable(f), "w",
                                                   zipfile.ZIP_DEFLATED) as z:
            for n in sorted(k for k in FILES if FILES[k] is not None):
                z.writestr(n, FILES[n])
        return out

    def libzip_zip(self, name):
        """pkgtool's own folder image (libzip)."""
        pkg = build_package(self.path(name + ".pkg"), self.src)
        out = self.path(name)
        with open(out, "wb") as f:
            f.write(Parts(pkg).images()[0])
        return out

    def check_archive(self, archive):
        t = subprocess.run(["unzip", "-t", archive], capture_output=True, text=True)
        self.assertEqual(0, t.returncode, t.stdout + t.stderr)
        with zipfile.ZipFile(archive) as z:
            expected = {i.filename: i.file_size for i in z.infolist()}
            contents = {i.filename: (None if i.is_dir() else z.read(i)) for i in z.infolist()}
        r = self.tunzip("-l", archive)
        self.assertEqual(0, r.returncode, r.stderr)
        listed = {}
        for line in r.stdout.splitlines():
            size, n = line.split(None, 1)
            listed[n] = int(size)
        self.assertEqual(expected, listed)
        out = self.path("out-" + os.path.basename(archive))
        os.mkdir(out)
        r = self.tunzip("-o", archive, "-d", out)
        self.assertEqual((0, "", ""), (r.returncode, r.stdout, r.stderr))
        tree = read_tree(out)
        for n, data in contents.items():
            key = n if data is None else n.rstrip("/")
            self.assertEqual(data, tree.get(key, "missing"), n)
        self.assertEqual([], [n for n in tree if ".tunzip-" in n])
        self.assertEqual(0o755, mode(os.path.join(out, "tool")))
        self.assertEqual(0o755, mode(os.path.join(out, "lib")))
        self.assertEqual(0o644, mode(os.path.join(out, "docs", "read me.txt")))

    def test_common_writers(self):
        archives = {
            "info-zip": self.info_zip("plain.zip"),
            "info-zip -fd": self.info_zip("fd.zip", "-fd"),
            "info-zip -fz": self.info_zip("fz.zip", "-fz"),
            "python": self.python_zip("py.zip"),
            "python zip64": self.python_zip("py64.zip", zip64=True),
            "python streamed": self.streamed_zip("stream.zip"),
            "libzip": self.libzip_zip("libzip.zip"),
        }
        with open(archives["info-zip -fz"], "rb") as f:
            self.assertIn(b"PK\x06\x06", f.read())  # a Zip64 end record
        with open(archives["info-zip -fd"], "rb") as f:
            self.assertIn(b"PK\x07\x08", f.read())  # data descriptors
        for writer, archive in archives.items():
            with self.subTest(writer=writer):
                if writer == "python streamed":
                    # No modes from a stream: only the data is compared.
                    os.makedirs(self.path("s"))
                    r = self.tunzip("-o", archive, "-d", self.path("s"))
                    self.assertEqual(0, r.returncode, r.stderr)
                    with zipfile.ZipFile(archive) as z:
                        for n in z.namelist():
                            with open(self.path("s", n), "rb") as f:
                                self.assertEqual(z.read(n), f.read())
                    continue
                self.check_archive(archive)

    def test_pkgtool_builds_and_runs_a_zip_with_data_descriptors(self):
        archive = self.info_zip("fd.zip", "-fd")
        pkg = build_package(self.path("fd.pkg"), archive)
        self.assertEqual(0, pkgtool("verify", pkg, check=False).returncode)
        r = self.run_pkg(["a b"], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertTrue(r.stdout.endswith("Executing...\n\n\ntool\n"), r.stdout)


def second_directory_zip(path):
    """A zip holding one 'tool' whose end record's comment holds a whole
    second archive (local header, directory, end record) with another
    'tool'.  A reader that takes the last end record runs the second."""
    first = zip_bytes({"tool": "#!/bin/sh\necho first tool\n"}, zipfile.ZIP_STORED)
    hidden = bytearray(zip_bytes({"tool": "#!/bin/sh\necho second tool\n"},
                                 zipfile.ZIP_STORED))
    base = len(first)  # where the comment, and so the hidden archive, starts
    end = hidden.rindex(b"PK\x05\x06")
    offset = struct.unpack("<I", hidden[end + 16:end + 20])[0]
    hidden[offset + 42:offset + 46] = struct.pack("<I", base)  # its local header
    hidden[end + 16:end + 20] = struct.pack("<I", base + offset)
    with open(path, "wb") as f:
        f.write(first[:-2] + struct.pack("<H", len(hidden)) + bytes(hidden))
    return path


class Ambiguous(E2ETest):
    def test_a_second_directory_in_the_comment_is_refused_everywhere(self):
        archive = second_directory_zip(self.path("two.zip"))
        # Python's zipfile, which takes the last end record, sees the other tool.
        with zipfile.ZipFile(archive) as z:
            self.assertIn(b"second tool", z.read("tool"))
        r = tunzip("-o", archive, "-d", self.path())
        self.assertEqual(1, r.returncode)
        self.assertIn("more than one end-of-central-directory record", r.stderr)
        self.assertFalse(os.path.exists(self.path("tool")))
        b = pkgtool("build", "-o", self.path("two.pkg"), "--record", "redhat", "5", "x86-64",
                    "0", "./tool", "", "--image", archive, check=False)
        self.assertEqual(1, b.returncode)
        self.assertIn("more than one end-of-central-directory record", b.stderr)
        # A package made without pkgtool: verify, list and unpack refuse it.
        launcher, unzip = copy_launcher_and_unzip()
        with open(archive, "rb") as f:
            pkg = assemble(self.path("two.pkg"), [launcher, unzip, struct.pack("<ii", 1, 0),
                                                  record_bytes(), f.read()])
        for command in (["verify", pkg], ["list", pkg], ["unpack", pkg, self.path("out")]):
            with self.subTest(command=command[0]):
                r = pkgtool(*command, check=False)
                self.assertEqual(1, r.returncode)
                self.assertIn("more than one end-of-central-directory record", r.stderr)
        self.assertFalse(os.path.exists(self.path("out")))
        # And the package itself refuses to run it.
        r = self.run_pkg([], pkg=pkg)
        self.assertEqual(1, r.returncode)
        self.assertIn("more than one end-of-central-directory record", r.stderr)
        self.assertNotIn("tool", r.stdout.split("Extracting...")[-1])


    def test_two_entries_for_one_path_are_refused(self):
        archive = self.path("dup.zip")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # zipfile warns of the duplicate
            with zipfile.ZipFile(archive, "w") as z:
                z.writestr("tool", "#!/bin/sh\necho one\n")
                z.writestr("tool", "#!/bin/sh\necho two\n")
        os.mkdir(self.path("out"))
        # Listing refuses it as unpacking does.
        for args in (["-l", archive], ["-o", archive, "-d", self.path("out")]):
            r = tunzip(*args)
            self.assertEqual((1, ""), (r.returncode, r.stdout))
            self.assertEqual("tunzip: %s: entry 'tool': two entries for the same path\n"
                             % archive, r.stderr)
        self.assertEqual([], os.listdir(self.path("out")))
        b = pkgtool("build", "-o", self.path("dup.pkg"), "--record", "redhat", "5", "x86-64",
                    "0", "./tool", "", "--image", archive, check=False)
        self.assertEqual(1, b.returncode)
        self.assertIn("entry 'tool': two entries for the same path", b.stderr)


class Failures(E2ETest):
    def setUp(self):
        super().setUp()
        self.archive = make_zip(self.path("a.zip"), {"tool": TOOL, "big": bytes(2 << 20),
                                                      "small": "small"})
        self.out = self.path("out")
        os.mkdir(self.out)

    def test_usage_missing_folder_and_no_zip(self):
        for args, status in ((["-o"], 2), (["-q", self.archive], 2),
                             (["-o", self.archive, "-d"], 2),
                             (["-o", self.archive, "extra"], 2),
                             (["-o", self.archive, "-d", self.path("none")], 3),
                             (["-o", self.path("none.zip")], 1),
                             (["-o", self.path("tmp")], 1),
                             (["-o", LAUNCHER], 1)):
            with self.subTest(args=args):
                r = tunzip(*args, cwd=self.out)
                self.assertEqual(status, r.returncode, r.stderr)
                self.assertTrue(r.stderr.startswith("tunzip: "), r.stderr)
        self.assertEqual([], os.listdir(self.out))

    def test_a_folder_in_the_way(self):
        os.makedirs(os.path.join(self.out, "big", "inside"))
        r = tunzip("-o", self.archive, "-d", self.out)
        self.assertEqual(4, r.returncode)
        self.assertEqual("tunzip: %s: entry 'big': a folder is in the way: Is a directory\n"
                         % self.archive, r.stderr)
        # The others are written, and nothing is left under a temporary name.
        self.assertEqual(["big", "small", "tool"], sorted(os.listdir(self.out)))
        self.assertTrue(os.path.isdir(os.path.join(self.out, "big", "inside")))

    def archives(self):
        """The archive with 'big' written through the per-thread buffer, and
        one with a 'big' beyond it, written into a mapping of the file."""
        huge = make_zip(self.path("huge.zip"), {"tool": TOOL, "big": bytes(6 << 20),
                                                  "small": "small"})
        return {"buffered": self.archive, "mapped": huge}

    def test_a_file_size_limit(self):
        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

        for way, archive in self.archives().items():
            with self.subTest(way=way):
                out = self.path("out-" + way)
                os.mkdir(out)
                r = tunzip("-o", archive, "-d", out, preexec_fn=limit)
                self.assertEqual(4, r.returncode)
                self.assertEqual("tunzip: %s: entry 'big': cannot write the file: File too "
                                 "large\n" % archive, r.stderr)
                self.assertEqual(["small", "tool"], sorted(os.listdir(out)))

    def test_no_space(self):
        if not NAMESPACES:
            self.skipTest(NO_NAMESPACES)
        script = ('mount -t tmpfs -o size=1m tz "$0" && "$1" -o "$2" -d "$0"; s=$?; '
                  'ls -A "$0"; exit $s')
        for way, archive in self.archives().items():
            with self.subTest(way=way):
                r = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                    script, self.out, UNZIP, archive], capture_output=True,
                                   text=True, timeout=60)
                self.assertEqual(4, r.returncode, r.stderr)
                # 'big' fills the file system; the other thread's small
                # entries may meet it full too.  Each failure is reported,
                # and exactly the entries not reported are there, whole.
                line = ("tunzip: %s: entry '(.*)': cannot write the file: No space left on "
                        "device" % re.escape(archive))
                failed = [re.fullmatch(line, l).group(1) for l in r.stderr.splitlines()]
                self.assertIn("big", failed)
                self.assertEqual(sorted({"big", "small", "tool"} - set(failed)),
                                 r.stdout.split())

    def test_a_damaged_entry_leaves_no_file_under_its_name(self):
        with open(self.archive, "rb") as f:
            data = bytearray(f.read())
        with zipfile.ZipFile(self.archive) as z:
            info = z.getinfo("small")
        h = info.header_offset
        n, e = struct.unpack("<HH", data[h + 26:h + 30])
        data[h + 30 + n + e] ^= 0x01  # the first byte of its data
        bad = self.path("bad.zip")
        with open(bad, "wb") as f:
            f.write(data)
        with open(os.path.join(self.out, "small"), "w") as f:
            f.write("previous")
        r = tunzip("-o", bad, "-d", self.out)
        self.assertEqual(4, r.returncode)
        self.assertRegex(r.stderr, r"^tunzip: .*: entry 'small': (CRC-32 mismatch|damaged "
                                   r"compressed data)\n$")
        with open(os.path.join(self.out, "small")) as f:
            self.assertEqual("previous", f.read())  # untouched, not half-written
        self.assertEqual(["big", "small", "tool"], sorted(os.listdir(self.out)))


class Interrupts(E2ETest):
    """A signal while files are being written: they are removed before
    tunzip ends as the signal would, wherever in the tree they are."""

    @classmethod
    def setUpClass(cls):
        cls.zipdir = tempfile.mkdtemp(prefix="tunzip-interrupts-")
        cls.archive = os.path.join(cls.zipdir, "big.zip")
        chunk = os.urandom(8 << 20)
        with zipfile.ZipFile(cls.archive, "w", zipfile.ZIP_STORED) as z:
            for i in range(24):  # stored, 192 MB: some seconds of writing
                z.writestr("d%d/part%02d" % (i % 3, i), chunk[i:] + chunk[:i])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.zipdir)

    def temporaries(self, out):
        return [os.path.join(d, n) for d, _, names in os.walk(out) for n in names
                if n.startswith(".tunzip-")]

    def unpack_until(self, out, sig, ignore_hup=False, argv=None):
        os.mkdir(out)

        def prepare():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # SIGQUIT dumps no core
            if ignore_hup:
                signal.signal(signal.SIGHUP, signal.SIG_IGN)
        p = subprocess.Popen(argv or [UNZIP, "-o", self.archive, "-d", out],
                             stderr=subprocess.PIPE, preexec_fn=prepare)
        writing = self.wait_for(lambda: self.temporaries(out) or p.poll() is not None,
                                interval=0.001)
        self.assertTrue(writing, "no file being written within the deadline")
        self.assertIsNone(p.poll(), "unpacked before any signal")
        p.send_signal(sig)
        p.communicate(timeout=60)
        return p.returncode

    def test_each_ending_signal_removes_the_files_being_written(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                    signal.SIGPIPE):
            with self.subTest(sig=sig.name):
                out = self.path("out-" + sig.name)
                self.assertEqual(-sig, self.unpack_until(out, sig))
                self.assertEqual([], self.temporaries(out))

    def test_pkgtool_unpack_too(self):
        pkg = build_package(self.path("big.pkg"), self.archive)
        out = self.path("out-pkgtool")
        argv = [PKGTOOL, "unpack", pkg, out]
        self.assertEqual(-signal.SIGTERM, self.unpack_until(out, signal.SIGTERM, argv=argv))
        self.assertEqual([], self.temporaries(out))

    def test_an_ignored_hang_up_stays_ignored(self):
        out = self.path("out-nohup")
        self.assertEqual(0, self.unpack_until(out, signal.SIGHUP, ignore_hup=True))
        self.assertEqual([], self.temporaries(out))
        self.assertEqual(24, sum(len(n) for _, _, n in os.walk(out)))


class Links(E2ETest):
    """Links planted in an existing target folder are replaced, never followed."""

    def plant(self, folder):
        os.makedirs(folder, exist_ok=True)
        self.outside = self.path("outside")
        os.makedirs(self.outside, exist_ok=True)
        with open(os.path.join(self.outside, "victim"), "w") as f:
            f.write("keep")
        os.symlink(os.path.join(self.outside, "victim"), os.path.join(folder, "tool"))
        os.symlink(self.outside, os.path.join(folder, "lib"))

    def assertOutsideUntouched(self):
        self.assertEqual(["victim"], os.listdir(self.outside))
        with open(os.path.join(self.outside, "victim")) as f:
            self.assertEqual("keep", f.read())

    def test_planted_links(self):
        archive = make_zip(self.path("l.zip"), {"tool": TOOL, "lib/helper": "helper"})
        out = self.path("out")
        self.plant(out)
        r = tunzip("-o", archive, "-d", out)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertOutsideUntouched()
        self.assertFalse(os.path.islink(os.path.join(out, "tool")))
        self.assertFalse(os.path.islink(os.path.join(out, "lib")))
        self.assertEqual({"tool": TOOL.encode(), "lib/": None, "lib/helper": b"helper"},
                         read_tree(out))

    def test_planted_links_through_the_launcher_extract(self):
        image = make_zip(self.path("l.zip"), {"tool": TOOL, "lib/helper": "helper"})
        pkg = build_package(self.path("l.pkg"), image)
        out = self.path("ex")
        self.plant(out)
        r = self.run_pkg(["--extract", out], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertOutsideUntouched()
        self.assertEqual({"tool": TOOL.encode(), "lib/": None, "lib/helper": b"helper"},
                         read_tree(out))


class Modes(E2ETest):
    def test_modes_whatever_the_umask_and_the_entry_bits(self):
        archive = self.path("m.zip")
        with zipfile.ZipFile(archive, "w") as z:
            for n, m in (("run", 0o104775), ("plain", 0o102666), ("sticky/", 0o41777),
                         ("sticky/x", 0o100600)):
                info = zipfile.ZipInfo(n)
                info.external_attr = m << 16
                info.create_system = 3
                z.writestr(info, "" if n.endswith("/") else "data")
        out = self.path("out")
        os.mkdir(out)

        def umask():
            os.umask(0o077)

        r = tunzip("-o", archive, "-d", out, preexec_fn=umask)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(0o755, mode(os.path.join(out, "run")))
        self.assertEqual(0o644, mode(os.path.join(out, "plain")))
        self.assertEqual(0o755, mode(os.path.join(out, "sticky")))
        self.assertEqual(0o644, mode(os.path.join(out, "sticky", "x")))
        # An existing folder keeps its own mode.
        self.assertEqual(0o755, mode(out))


class Miniunzip(E2ETest):
    """Packages made with Debian's miniunzip as element 1 still run."""

    def test_a_miniunzip_package_runs_and_extracts(self):
        pkg = build_package(self.path("mini.pkg"), self.image, unzip=MINIUNZIP)
        r = self.run_pkg(["-d", "x"], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(["-d", "x"], tool_args(r.stdout))
        r = self.run_pkg(["--extract", self.path("ex")], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual({"tool": TOOL.encode()}, read_tree(self.path("ex")))


TIME = "/usr/bin/time"
UNZIP_SANITIZED = "libasan" in subprocess.run(["readelf", "-d", UNZIP], capture_output=True,
                                              text=True).stdout


@unittest.skipUnless(shutil.which("strace") and shutil.which("taskset") and os.path.exists(TIME),
                     "strace, taskset and GNU time are needed")
class Cores(E2ETest):
    """tunzip unpacks on one thread per CPU it may run on (up to 8), each
    with its own 4 MiB buffer, so its memory follows the threads and not
    the image."""
    BUFFER = 4 << 20

    def setUp(self):
        super().setUp()
        # 72 MiB of entries just under the buffer's size, in a zip of 70 KB.
        self.files = {"d%d/f%02d" % (i % 6, i): bytes(3 << 20) for i in range(24)}
        self.zip = make_zip(self.path("zeros.zip"), self.files)
        self.out = self.path("out")

    def unpack(self, cpus, *wrapper):
        shutil.rmtree(self.out, ignore_errors=True)
        os.mkdir(self.out)
        # A sanitized build's leak check cannot run under strace.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        r = subprocess.run([*wrapper, "taskset", "-c", cpus, UNZIP, "-o", self.zip, "-d", self.out],
                           capture_output=True, text=True, timeout=60, env=env)
        self.assertEqual(0, r.returncode, r.stderr)
        written = {n: c for n, c in read_tree(self.out).items() if c is not None}
        self.assertTrue(written == self.files, sorted(written))
        return r

    def workers(self, cpus):
        """The threads that unpacked: those that mapped a buffer."""
        trace = self.path("trace")
        self.unpack(cpus, "strace", "-f", "-qq", "-o", trace, "-e", "trace=mmap")
        with open(trace) as f:
            return {l.split()[0] for l in f
                    if "mmap(NULL, %d, PROT_READ|PROT_WRITE" % self.BUFFER in l}

    def peak_kib(self, cpus):
        """tunzip's peak resident memory, as GNU time reads it from wait4."""
        r = self.unpack(cpus, TIME, "-f", "%M")
        return int(r.stderr.split()[-1])

    def test_one_thread_per_cpu_and_memory_to_match(self):
        cpus = sorted(os.sched_getaffinity(0))
        for allowed in ([cpus[0]], cpus):
            threads = min(len(allowed), 8)
            with self.subTest(cpus=allowed):
                listed = ",".join(map(str, allowed))
                self.assertEqual(threads, len(self.workers(listed)))
                # The sanitizers' run-time has memory of its own.
                if not UNZIP_SANITIZED:
                    peak = self.peak_kib(listed)
                    self.assertLess(peak, (threads * self.BUFFER + (2 << 20)) >> 10)


if __name__ == "__main__":
    unittest.main()
