"""Helpers for the end-to-end tests: real packages built with pkgtool, real
zip images, the real unzip utility (tunzip; Debian's miniunzip where a test
says so), and the launcher run as a user would."""
import os
import select
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
RUNNER = os.environ.get("TRELL_RUN", os.path.join(ROOT, "build", "bin", "trell-run"))
MINIUNZIP = shutil.which("miniunzip") or "/usr/bin/miniunzip"

DIR_SIZE = 548
RECORD_SIZE = 400

ARCH_FIELDS = ("set", "code", "enum", "records", "label", "uname", "hosts", "machine", "class",
               "order", "elf", "readelf", "debian", "triple", "musl", "qemu", "build",
               "launcher", "tunzip")


def architectures():
    """The rows of common/architectures.txt, each a dict of ARCH_FIELDS."""
    rows = []
    with open(os.path.join(ROOT, "common", "architectures.txt")) as f:
        for line in f:
            if line.startswith("#") or "|" not in line:
                continue
            rows.append(dict(zip(ARCH_FIELDS, (v.strip() for v in line.split("|")))))
    return rows

# Shell text that waits until a file appears at the path that the variable
# named holds (the test's release; see release()), for at most a minute: a
# window of a run held open for as long as the test needs, whatever the load.
HOLD = """[ -n "$%(var)s" ] && n=0 && until [ -e "$%(var)s" ] || [ $n -ge 6000 ]; do
  sleep 0.01; n=$((n + 1))
done
"""

# A tool that shows what it received: each argument in brackets, its working
# folder and the variables the launcher sets.  TOOL_MARK is made when it
# starts; TOOL_SLEEP (seconds), TOOL_HOLD (a file to wait for), TOOL_EXIT and
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
""" + HOLD % {"var": "TOOL_HOLD"} + r"""[ -n "$TOOL_KILL" ] && kill -"$TOOL_KILL" $$
exit ${TOOL_EXIT:-0}
"""


def held_unzip(started, hold, then):
    """A script for element 1 that makes the file started, waits for the
    file hold (see HOLD), then runs the shell text then (such as
    'exec tunzip "$@"', or "exit 1" for a utility that fails)."""
    return ('#!/bin/sh\ntouch "%s"\nUNZIP_HOLD="%s"\n' % (started, hold)
            + HOLD % {"var": "UNZIP_HOLD"} + then)


def release(path):
    """Ends the wait of a HOLD on path."""
    with open(path, "w"):
        pass


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
        for v in ("ZORVAN_PORTABLE_ERR_SH", "TOOL_EXIT", "TOOL_SLEEP", "TOOL_HOLD", "TOOL_KILL",
                  "TOOL_MARK", "ZORVAN_QELPI_GUI_T", "TRELL_PORTABLE_DEBUG"):
            self.env.pop(v, None)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def own_copy(self, program):
        """A copy of one of our programs in the test's folder: inside a
        private /tmp the build itself is out of sight when the checkout lies
        under /tmp."""
        copy = self.path("bin", os.path.basename(program))
        if not os.path.exists(copy):
            os.makedirs(self.path("bin"), exist_ok=True)
            shutil.copy2(program, copy)
        return copy

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
                setup="", input=None, timeout=60, argv0=None, runner=False):
        """Runs the package (or, with argv0, the bare launcher under that
        name; with runner, the package through trell-run)."""
        argv = [argv0 or pkg or self.pkg, *args]
        if runner:
            argv = [self.own_copy(RUNNER) if isolated or pid1 else RUNNER, *argv]
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
        """Polls predicate until it gives a true value, which is the result;
        False when the deadline passes first."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            found = predicate()
            if found:
                return found
            time.sleep(interval)
        return False

    def wait_taken(self, pid, sig):
        """Waits until the signal sent to pid is pending no more: its
        handler has run, or the signal was ignored."""
        self.assertTrue(self.wait_for(lambda: sig not in signals_in(pid, "SigPnd") |
                                      signals_in(pid, "ShdPnd")), "signal %d never taken" % sig)

    def assertWorkDirGone(self, output):
        cwd = tool_value(output, "cwd")
        self.assertIsNotNone(cwd, output)
        self.assertTrue(cwd.startswith("/tmp/portable_install_"), cwd)
        self.assertFalse(os.path.exists(cwd), cwd)


def process_state(pid):
    """The state letter of /proc/PID/stat (R, S, T, Z...), None once the
    process is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat_line = f.read()
    except OSError:
        return None
    # The command name in parentheses may hold blanks and parentheses.
    return stat_line[stat_line.rindex(")") + 2]


def children(pid):
    """The ids of pid's children, as /proc shows them now."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def descendants(pid):
    """The ids of the processes below pid, as /proc shows them now."""
    found, todo = [], [pid]
    while todo:
        below = children(todo.pop())
        found += below
        todo += below
    return found


def cmdline(pid):
    """The command line of pid as its NUL-separated bytes (b"" once gone)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


def error_shell_runs(pid):
    """True once a process below the launcher pid is the plain "sh" of the
    error shell: the launcher then waits in system(), outside the windows,
    with SIGINT and SIGQUIT ignored."""
    return any(cmdline(c) == b"sh\0" for c in descendants(pid))


def signals_in(pid, field):
    """The signals of a mask of /proc/PID/status: SigIgn (ignored), SigPnd
    and ShdPnd (pending for the thread, for the process); none once the
    process is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            lines = f.read().splitlines()
    except OSError:
        return set()
    for line in lines:
        if line.startswith(field + ":"):
            mask = int(line.split()[1], 16)
            return {n for n in range(1, 65) if mask >> (n - 1) & 1}
    return set()


def unzip_running(root=None, work=None):
    """True while a launcher's unzip utility runs: a process whose command
    line carries the launcher's "-o image.zip" (after qemu's own name under
    emulation); when given, only one whose root folder is root, or whose
    current folder is a work directory named work."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if b"\0-o\0image.zip" not in cmdline(int(pid)):
                continue
            if root is not None and os.readlink("/proc/%s/root" % pid) != root:
                continue
            if work is not None and os.path.basename(os.readlink("/proc/%s/cwd" % pid)) != work:
                continue
            return True
        except OSError:
            continue
    return False


def unpacking(tmp, root=None):
    """The name of the work directory in the folder tmp while the unzip
    utility (inside root, when given) writes an image's "big" entries into
    it, else None."""
    for work in os.listdir(tmp):
        try:
            names = os.listdir(os.path.join(tmp, work))
        except OSError:
            continue
        if any(n.startswith("big") for n in names) and unzip_running(root=root, work=work):
            return work
    return None


def read_until(stream, text, timeout=60):
    """Reads from the pipe stream (a Popen's stdout or stderr) until what
    came holds text, or it ends, or the deadline passes; the result is what
    came.  Reads the descriptor itself: what it took is not in the stream's
    buffer for a later communicate()."""
    fd, got = stream.fileno(), b""
    end = time.monotonic() + timeout
    while text.encode() not in got:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        got += chunk
    return got.decode(errors="replace")


def executable_mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


SIGNALS = {"TERM": signal.SIGTERM, "INT": signal.SIGINT, "QUIT": signal.SIGQUIT}
