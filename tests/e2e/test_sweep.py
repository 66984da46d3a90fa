"""Endings the launcher cannot see (SIGKILL, the OOM killer): the work
directory stays while anything of its run lives, and the next run removes
it.  Real kills; a private /tmp for each test."""
import fcntl
import os
import random
import shutil
import signal
import subprocess
import time
import unittest

from e2e_util import (HOLD, UNZIP, E2ETest, build_package, children, descendants, held_unzip,
                      make_zip, process_state, release, write_script)

MARK = ".trell-live"

# A tool that waits (TOOL_SLEEP seconds, then for the file TOOL_HOLD), then
# checks that every file of its image is still there, and writes what it
# found to $RESULTS/<its pid>.
CHECKER = r"""#!/bin/sh
[ -n "$TOOL_MARK" ] && touch "$TOOL_MARK"
sleep "${TOOL_SLEEP:-0}"
""" + HOLD % {"var": "TOOL_HOLD"} + r"""state=intact
for f in tool lib/a lib/b data; do [ -f "$f" ] || state="missing $f"; done
[ -n "$RESULTS" ] && echo "$state $(pwd)" > "$RESULTS/$$"
echo "cwd=$(pwd)"
"""


def lock_is_free(path):
    """True when nobody holds the lock of the mark at path (or it is gone)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        return True
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


class Sweep(E2ETest):
    def setUp(self):
        super().setUp()
        self.image = make_zip(self.path("checker.zip"), {
            "tool": CHECKER, "lib/a": "a", "lib/b": "b" * 1000, "data": os.urandom(20000)})
        self.pkg = build_package(self.path("pkg"), self.image)
        # Outside the private /tmp, which would hide a checkout below it.
        shutil.copy(UNZIP, self.path("tunzip"))
        self.started = self.path("unzip-started")
        self.unzip_hold = self.path("unzip-go")
        self.unzipped = self.path("unzip-done")
        # Held until the test lets it go; says when it has unpacked.
        slow = write_script(self.path("slow-unzip"),
                            held_unzip(self.started, self.unzip_hold,
                                       '"%s" "$@"\ns=$?\ntouch "%s"\nexit $s\n'
                                       % (self.path("tunzip"), self.unzipped)))
        self.slow_pkg = build_package(self.path("slow"), self.image, unzip=slow)
        self.results = self.path("results")
        os.mkdir(self.results)

    def marks(self):
        return [os.path.join(self.tmp, d, MARK) for d in self.work_dirs()]

    def wait_until_dead(self):
        """Until every run's lock is gone, that is, its last process."""
        self.assertTrue(self.wait_for(lambda: all(lock_is_free(m) for m in self.marks()),
                                      timeout=60))

    def sweeping_run(self):
        r = self.run_pkg(env={"TRELL_PORTABLE_DEBUG": ""}, isolated=True)
        self.assertEqual(0, r.returncode, r.stderr)
        return [l for l in r.stderr.splitlines() if l.startswith("Removed ")]

    def kill(self, p):
        p.send_signal(signal.SIGKILL)
        p.wait(timeout=60)

    def test_sigkill_while_unpacking(self):
        p = self.start_pkg(pkg=self.slow_pkg)
        self.assertTrue(self.wait_for(lambda: os.path.exists(self.started)))
        self.kill(p)
        [left] = self.work_dirs()
        # The unzip utility still runs and holds the mark: not swept.
        self.assertEqual([], self.sweeping_run())
        self.assertFalse(os.path.exists(self.unzipped))
        self.assertEqual([left], self.work_dirs())
        release(self.unzip_hold)
        self.assertTrue(self.wait_for(lambda: os.path.exists(self.unzipped)))
        self.wait_until_dead()
        self.assertEqual(["Removed /tmp/%s: its run ended without cleaning up" % left],
                         self.sweeping_run())
        self.assertNoWorkDir()

    def test_sigkill_while_the_tool_runs(self):
        mark, hold = self.path("tool-started"), self.path("tool-go")
        p = self.start_pkg(env={"TOOL_HOLD": hold, "TOOL_MARK": mark, "RESULTS": self.results})
        self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
        self.kill(p)
        [left] = self.work_dirs()
        self.assertEqual([], self.sweeping_run())
        self.assertEqual([left], self.work_dirs())
        # The tool, orphaned, finds all its files at its end.
        release(hold)
        self.assertTrue(self.wait_for(lambda: os.listdir(self.results)))
        self.wait_until_dead()
        [result] = os.listdir(self.results)
        with open(os.path.join(self.results, result)) as f:
            self.assertEqual("intact /tmp/%s\n" % left, f.read())
        self.assertEqual(["Removed /tmp/%s: its run ended without cleaning up" % left],
                         self.sweeping_run())
        self.assertNoWorkDir()

    def test_a_stopped_run_is_never_swept(self):
        mark, hold = self.path("tool-started"), self.path("tool-go")
        p = self.start_pkg(env={"TOOL_HOLD": hold, "TOOL_MARK": mark})
        self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
        os.killpg(p.pid, signal.SIGSTOP)
        try:
            # Every process of the run stopped (or ended, not yet reaped).  A
            # shell that vforked stays in D while its child, stopped before
            # its exec, holds it: held just as well.
            def held(q):
                state = process_state(q)
                return state in ("T", "Z", None) or (
                    state == "D" and any(process_state(c) == "T" for c in children(q)))
            self.assertTrue(self.wait_for(lambda: all(
                held(q) for q in [p.pid, *descendants(p.pid)])))
            release(hold)  # the tool's own wait is over: only the stop holds it
            self.assertEqual([], self.sweeping_run())
            self.assertEqual(1, len(self.work_dirs()))
        finally:
            os.killpg(p.pid, signal.SIGCONT)
        out, err = p.communicate(timeout=60)
        self.assertEqual(0, p.returncode, err)
        self.assertNoWorkDir()

    def test_what_is_never_touched(self):
        def work_dir(name, mode=0o700, mark=True, owner=None):
            path = os.path.join(self.tmp, name)
            os.mkdir(path)
            os.chmod(path, mode)
            if mark:
                with open(os.path.join(path, MARK), "w"):
                    pass
            if owner is not None:
                for p in (path, os.path.join(path, MARK)):
                    os.chown(p, owner, owner)
            return path

        dead = work_dir("portable_install_0000aa00")  # the control: swept
        work_dir("portable_install_0000aa01", owner=65534)  # another user's
        work_dir("portable_install_0000aa02", mark=False)  # no mark (an older launcher)
        linked = work_dir("portable_install_0000aa03", mark=False)
        with open(self.path("a-file-of-ours"), "w"):
            pass
        os.symlink(self.path("a-file-of-ours"), os.path.join(linked, MARK))
        ours = self.path("ours")
        os.mkdir(ours, 0o700)
        with open(os.path.join(ours, MARK), "w"):
            pass
        os.symlink(ours, os.path.join(self.tmp, "portable_install_0000aa04"))
        work_dir("portable_install_0000aa05", mode=0o755)
        for name in ("portable_install_0000AA06", "portable_install_0000aa070",
                     "portable_install_0000aa0", "portable_install_0000aa0g", "xportable_install_0000aa08"):
            work_dir(name)
        before = sorted(os.listdir(self.tmp))
        self.assertEqual(["Removed /tmp/portable_install_0000aa00: its run ended without "
                          "cleaning up"], self.sweeping_run())
        self.assertFalse(os.path.exists(dead))
        self.assertEqual([n for n in before if n != "portable_install_0000aa00"],
                         sorted(os.listdir(self.tmp)))
        self.assertTrue(os.path.exists(os.path.join(ours, MARK)))
        self.assertTrue(os.path.exists(self.path("a-file-of-ours")))
        # Quiet unless asked.
        work_dir("portable_install_0000aa09")
        r = self.run_pkg(isolated=True)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "portable_install_0000aa09")))

    def test_storm_of_runs_a_third_killed(self):
        rng = random.Random(int(os.environ.get("TRELL_STORM_SEED", "20")))
        runs = []
        for i in range(100):
            runs.append(self.start_pkg(pkg=self.pkg, env={
                "RESULTS": self.results, "TOOL_SLEEP": "%.2f" % rng.uniform(0, 0.3)},
                stdin=subprocess.DEVNULL))
        killed = set(rng.sample(range(100), 33))
        start = time.monotonic()
        moments = sorted((rng.uniform(0, 0.8), i) for i in killed)
        for moment, i in moments:
            # The kills' random moments are the test, not a wait.
            time.sleep(max(0.0, start + moment - time.monotonic()))
            runs[i].send_signal(signal.SIGKILL)
        for i, p in enumerate(runs):
            out, err = p.communicate(timeout=120)
            if i not in killed:
                self.assertEqual(0, p.returncode, err)
        self.wait_until_dead()
        results = []
        for name in os.listdir(self.results):
            with open(os.path.join(self.results, name)) as f:
                results.append(f.read())
        self.assertGreaterEqual(len(results), 67)
        self.assertEqual([], [r for r in results if not r.startswith("intact ")])
        self.sweeping_run()
        self.assertNoWorkDir()


class OutOfMemory(E2ETest):
    """The OOM killer with memory.oom.group ends the launcher and its tool
    together; the next run removes what they left."""
    CGROUP = "/sys/fs/cgroup"

    def test_oom_group_kill(self):
        try:
            with open(os.path.join(self.CGROUP, "cgroup.controllers")) as f:
                controllers = f.read().split()
        except OSError:
            controllers = []
        if "memory" not in controllers:
            self.skipTest("no cgroup v2 memory controller here (memory is on cgroup v1 only, "
                          "where the OOM killer ends one process): the SIGKILL cases carry "
                          "the proof")
        group = os.path.join(self.CGROUP, "trell-oom-%d" % os.getpid())
        try:
            os.mkdir(group)
        except OSError as e:
            self.skipTest("cannot make a cgroup: %s" % e)
        self.addCleanup(os.rmdir, group)
        with open(os.path.join(group, "memory.max"), "w") as f:
            f.write(str(64 << 20))
        with open(os.path.join(group, "memory.oom.group"), "w") as f:
            f.write("1")
        hog = make_zip(self.path("hog.zip"), {
            "tool": "#!/bin/sh\nhead -c 1000000000 /dev/zero | tail -c 1000000000 >/dev/null\n"})
        pkg = build_package(self.path("hog"), hog)

        def enter():
            with open(os.path.join(group, "cgroup.procs"), "w") as f:
                f.write("0")

        p = subprocess.Popen(self.isolated([pkg]), env=self.env, cwd=self.dir,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             preexec_fn=enter)
        self.assertEqual(-signal.SIGKILL, p.wait(timeout=120))
        self.assertEqual(1, len(self.work_dirs()))
        r = self.run_pkg(isolated=True)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertNoWorkDir()


if __name__ == "__main__":
    unittest.main()
