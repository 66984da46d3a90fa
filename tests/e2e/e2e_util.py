"""Helpers for the end-to-end tests: real packages built with pkgtool, real
zip images, the real unzip utility (tunzip; Debian's miniunzip where a test
says so), and the launcher run as a user would."""
import os
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
LAUNCHER = os.environ.get("TRELL_LAUNCHER", os.path.join(ROOT, "build", "bin", "launcher"))
PKGTOOL = os.environ.get("TRELL_PKGTOOL", os.path.join(ROOT, "build", "bin", "pkgtool"))
UNZIP = os.environ.get("TRELL_UNZIP", os.path.join(ROOT, "build", "bin", "tunzip"))
MINIUNZIP = shutil.which("miniunzip") or "/usr/bin/miniunzip"

DIR_SIZE = 548
RECORD_SIZE = 400

# A tool that shows what it received: each argument in brackets, its working
# folder and the variables the launcher sets.  TOOL_EXIT, TOOL_SLEEP and
# TOOL_KILL steer how it ends.
TOOL = r"""#!/bin/sh
echo "tool: $# args"
for a in "$@"; do echo "[$a]"; done
echo "cwd=$(pwd)"
for v in ZoveziZurArivid ZORVAN_QELPI_GUI_T ZORVAN_PORTABLE_EXEC_DIR; do
  eval "set=\${$v+x}"
  [ -n "$set" ] && eval "echo $v=\$$v"
done
[ -n "$TOOL_MARK" ] && touch "$TOOL_MARK"
[ -n "$TOOL_SLEEP" ] && sleep "$TOOL_SLEEP"
[ -n "$TOOL_KILL" ] && kill -"$TOOL_KILL" $$
exit ${TOOL_EXIT:-0}
"""


def make_zip(path, files):
    """Writes a real zip archive: files maps a name to its content."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, content in files.items():
            if isinstance(content, str):
                content = content.encode()
            z.writestr(name, content)
    return path


def pkgtool(*args, check=True):
    r = subprocess.run([PKGTOOL, *args], capture_output=True, text=True)
    if check and r.returncode != 0:
        raise AssertionError("pkgtool %s failed: %s" % (args, r.stderr))
    return r


def build_package(out, image, records=None, unzip=None, strict=False, pair=None):
    """Builds a package with pkgtool; records are tuples of six values.
    The unzip utility is tunzip unless unzip names another."""
    records = records or [("redhat", "5", "x86-64", "0", "./tool", "")]
    args = ["build", "-o", out, "--stub", LAUNCHER, "--unzip", unzip or UNZIP]
    if strict:
        args.append("--strict")
    for r in records:
        args += ["--record", *r]
    args += ["--image-pair", *pair] if pair else ["--image", image]
    pkgtool(*args)
    return out


def write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


def read_trailer(path):
    with open(path, "rb") as f:
        data = f.read()
    directory = list(struct.unpack("<137i", data[-549:-1]))
    return data, directory


def split_elements(path):
    """The five elements of a package, and its directory."""
    data, d = read_trailer(path)
    out, pos = [], 0
    for i in range(5):
        out.append(data[pos:pos + d[i]])
        pos += d[i]
    return out, d


def assemble(path, elements, first=0, second=0, directory=None):
    """Writes a package from raw elements (for packages pkgtool refuses)."""
    d = directory or [0] * 137
    if directory is None:
        for i, e in enumerate(elements):
            d[i] = len(e)
        d[70], d[136] = first, second
    with open(path, "wb") as f:
        for e in elements:
            f.write(e)
        f.write(struct.pack("<137i", *d))
        f.write(b"\xff")
    os.chmod(path, 0o755)
    return path


def without_package_record(path):
    """Zeros the package record in a package's directory, as in a package
    built before it existed: for tests that change a package's bytes on
    purpose and want the launcher to meet the change, not refuse it as
    damage (or that need the launcher not to know the room a run takes)."""
    with open(path, "r+b") as f:
        f.seek(-DIR_SIZE - 1 + 20, os.SEEK_END)
        f.write(bytes(260))
    return path


def record_bytes(dist=3, release=5, arch=2, command="./tool", args="", mode=0):
    return struct.pack("<iii128s256si", dist, release, arch, command.encode(),
                       args.encode(), mode)


def tool_args(output):
    """The arguments the tool printed, in order."""
    return [l[1:-1] for l in output.splitlines() if l.startswith("[") and l.endswith("]")]


def tool_value(output, name):
    for line in output.splitlines():
        if line.startswith(name + "="):
            return line[len(name) + 1:]
    return None


def namespaces_permitted():
    try:
        r = subprocess.run(["unshare", "-m", "-p", "-f", "--mount-proc", "--propagation",
                            "private", "true"], capture_output=True, timeout=10)
        return r.returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


def sanitized_launcher():
    """True when the launcher carries the sanitizers' run-time."""
    r = subprocess.run(["readelf", "-d", LAUNCHER], capture_output=True, text=True)
    return "libasan" in r.stdout or "libubsan" in r.stdout


NAMESPACES = namespaces_permitted()
SANITIZED = sanitized_launcher()
NO_NAMESPACES = "private mount/pid namespaces are not permitted here (unshare as root needed)"


class E2ETest(unittest.TestCase):
    """Gives each test a private folder (outside /tmp, so that a private /tmp
    can be mounted over the real one) holding a package of the test tool."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trell-e2e-", dir="/var/tmp")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.tmp = os.path.join(self.dir, "tmp")  # the private /tmp
        os.mkdir(self.tmp)
        os.chmod(self.tmp, 0o1777)
        self.image = make_zip(self.path("image.zip"), {"tool": TOOL})
        self.pkg = build_package(self.path("pkg"), self.image)
        self.env = dict(os.environ)
        self.env["TRELL_PORTABLE_INTERACTIVE"] = ""
        for v in ("ZORVAN_PORTABLE_ERR_SH", "TOOL_EXIT", "TOOL_SLEEP", "TOOL_KILL",
                  "TOOL_MARK", "ZORVAN_QELPI_GUI_T", "TRELL_PORTABLE_DEBUG"):
            self.env.pop(v, None)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def isolated(self, argv, pid1=False, setup=""):
        """Wraps argv so that it runs with the private /tmp mounted over /tmp
        (and as process 1 of a new pid namespace when pid1 is set)."""
        if not NAMESPACES:
            self.skipTest(NO_NAMESPACES)
        ns = ["unshare", "-m", "--propagation", "private"]
        if pid1:
            ns += ["-p", "-f", "--mount-proc"]
        script = 'mount --bind "$0" /tmp && %s exec "$@"' % (setup + ";" if setup else "")
        return ns + ["sh", "-c", script, self.tmp, *argv]

    def run_pkg(self, args=(), pkg=None, env=None, cwd=None, isolated=False, pid1=False,
                setup="", input=None, timeout=60, argv0=None):
        argv = [argv0 or pkg or self.pkg, *args]
        executable = LAUNCHER if argv0 else None
        if isolated or pid1:
            if argv0:
                raise ValueError("argv0 and isolation do not mix")
            argv = self.isolated(argv, pid1=pid1, setup=setup)
        e = dict(self.env)
        e.update(env or {})
        return subprocess.run(argv, executable=executable, env=e, cwd=cwd or self.dir,
                              input=input, capture_output=True, text=True, timeout=timeout)

    def start_pkg(self, args=(), pkg=None, env=None, isolated=True, stdin=subprocess.DEVNULL):
        argv = [pkg or self.pkg, *args]
        if isolated:
            argv = self.isolated(argv)
        e = dict(self.env)
        e.update(env or {})
        return subprocess.Popen(argv, env=e, cwd=self.dir, stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)

    def work_dirs(self):
        return sorted(n for n in os.listdir(self.tmp) if n.startswith("portable_install_"))

    def assertNoWorkDir(self):
        self.assertEqual([], self.work_dirs())

    def wait_for(self, predicate, timeout=20, interval=0.02):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if predicate():
                return True
            time.sleep(interval)
        return False

    def assertWorkDirGone(self, output):
        cwd = tool_value(output, "cwd")
        self.assertIsNotNone(cwd, output)
        self.assertTrue(cwd.startswith("/tmp/portable_install_"), cwd)
        self.assertFalse(os.path.exists(cwd), cwd)


def executable_mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


SIGNALS = {"TERM": signal.SIGTERM, "INT": signal.SIGINT, "QUIT": signal.SIGQUIT}
