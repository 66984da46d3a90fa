"""Interrupts: outside the windows a signal removes the work directory and
ends the run with status 1; inside them (the unzip utility or the tool
running) it is only recorded.  Unzip utilities made here (one that unpacks,
one that fails) and the tool hold their window open until the test has sent
its signal and seen it taken."""
import fcntl
import os
import shutil
import signal
import subprocess
import termios
import unittest

from e2e_util import (UNZIP, E2ETest, build_package, error_shell_runs, held_unzip, release,
                      signals_in, tool_args, write_script)


class Interrupts(E2ETest):
    def setUp(self):
        super().setUp()
        self.started = self.path("unzip-started")
        self.unzip_hold = self.path("unzip-go")
        # A copy beside the scripts: the build tree may lie under the /tmp
        # that the runs hide behind their private one.
        unzip = shutil.copy(UNZIP, self.path("tunzip"))
        slow = write_script(self.path("slow-unzip"),
                            held_unzip(self.started, self.unzip_hold,
                                       'exec "%s" "$@"\n' % unzip))
        failing = write_script(self.path("failing-unzip"),
                               held_unzip(self.started, self.unzip_hold, "exit 1\n"))
        self.slow_pkg = build_package(self.path("slow"), self.image, unzip=slow)
        self.failing_pkg = build_package(self.path("failing"), self.image, unzip=failing)

    def finish(self, proc):
        out, err = proc.communicate(timeout=60)
        return proc.returncode, out, err

    def signal_while_unpacking(self, pkg, sig, group=False):
        """Starts the package, sends sig (to the whole group, as a terminal
        does, when group is set) while the unzip utility holds, and lets it
        go on once the launcher has taken the signal."""
        p = self.start_pkg(["-v"], pkg=pkg)
        self.assertTrue(self.wait_for(lambda: os.path.exists(self.started)))
        if group:
            os.killpg(p.pid, sig)
        else:
            p.send_signal(sig)
        self.wait_taken(p.pid, sig)
        release(self.unzip_hold)
        return self.finish(p)

    def test_sigterm_while_unpacking_that_succeeds(self):
        code, out, err = self.signal_while_unpacking(self.slow_pkg, signal.SIGTERM)
        self.assertEqual(0, code, err)
        self.assertEqual(["-v"], tool_args(out))
        self.assertNoWorkDir()

    def test_sigterm_while_unpacking_that_fails(self):
        code, out, err = self.signal_while_unpacking(self.failing_pkg, signal.SIGTERM)
        self.assertEqual(1, code)
        self.assertNotIn("Failed executing", err)
        self.assertNoWorkDir()

    def test_failing_unzip_without_signal(self):
        release(self.unzip_hold)
        p = self.start_pkg(["-v"], pkg=self.failing_pkg)
        code, out, err = self.finish(p)
        self.assertEqual(1, code)
        self.assertEqual("\nFailed executing <./miniunz -o image.zip > /dev/null>\n", err)
        self.assertNoWorkDir()

    def test_terminal_interrupt_reaches_the_unzip_utility(self):
        # ^C goes to the whole process group: the launcher ignores it while it
        # waits, the utility dies, and the run fails as an unpacking failure.
        # (A utility that lived on would unpack, and the tool would run.)
        code, out, err = self.signal_while_unpacking(self.slow_pkg, signal.SIGINT, group=True)
        self.assertEqual(1, code, out)
        self.assertNotIn("tool:", out)
        self.assertIn("Failed executing <./miniunz -o image.zip > /dev/null>", err)
        self.assertNoWorkDir()

    def test_signals_while_the_tool_runs(self):
        mark, hold = self.path("tool-started"), self.path("tool-go")
        env = {"TOOL_HOLD": hold, "TOOL_MARK": mark, "TOOL_EXIT": "4"}
        p = self.start_pkg(["-v"], env=env)
        self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
        p.send_signal(signal.SIGTERM)  # recorded only: the tool's status counts
        self.wait_taken(p.pid, signal.SIGTERM)
        release(hold)
        code, out, err = self.finish(p)
        self.assertEqual(4, code, err)
        self.assertNoWorkDir()
        os.unlink(mark)
        os.unlink(hold)
        p = self.start_pkg(["-v"], env=env)
        self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
        os.killpg(p.pid, signal.SIGINT)  # ^C ends the tool: 128 + 2
        release(hold)  # a tool that lived on would end with its own 4
        code, out, err = self.finish(p)
        self.assertEqual(130, code, err)
        self.assertNoWorkDir()

    def test_signal_outside_a_window_cleans_up(self):
        # The error shell waits for its input: a SIGTERM there is outside the
        # windows and removes the work directory at once.  SIGQUIT and SIGINT
        # are ignored while the shell runs, as the C library's system() does.
        mark = self.path("tool-ran")
        for name, expected in (("SIGTERM", 1), ("SIGHUP", 1), ("SIGPIPE", 1), ("SIGQUIT", 3),
                               ("SIGINT", 3)):
            with self.subTest(signal=name):
                if os.path.exists(mark):
                    os.unlink(mark)
                p = self.start_pkg(["-v"], stdin=subprocess.PIPE,
                                   env={"TOOL_EXIT": "3", "ZORVAN_PORTABLE_ERR_SH": "",
                                        "TOOL_MARK": mark})
                self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
                # Once the error shell runs, the launcher waits in system().
                self.assertTrue(self.wait_for(lambda: error_shell_runs(p.pid)))
                sig = getattr(signal, name)
                p.send_signal(sig)
                if expected == 1:
                    # Removed at once, while the shell still waits for input.
                    self.assertTrue(self.wait_for(lambda: not self.work_dirs()),
                                    self.work_dirs())
                else:
                    # Ignored: the kernel drops it as it is sent.
                    self.assertIn(sig, signals_in(p.pid, "SigIgn"))
                    self.assertEqual(1, len(self.work_dirs()))
                    p.stdin.write("exit\n")
                    p.stdin.flush()
                code, out, err = self.finish(p)
                self.assertEqual(expected, code, err)
                self.assertNoWorkDir()

    def test_terminal_hang_up_while_the_tool_runs(self):
        # The launcher leads the session of a terminal that hangs up (an ssh
        # connection drops): the hang-up is recorded, the launcher waits for
        # the tool, removes the work directory and ends with its status.
        master, slave = os.openpty()
        mark, hold = self.path("tool-started"), self.path("tool-go")
        env = dict(self.env, TOOL_HOLD=hold, TOOL_MARK=mark, TOOL_EXIT="4")

        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        p = subprocess.Popen(self.isolated([self.pkg, "-v"]), env=env, cwd=self.dir,
                             stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
                             preexec_fn=take_terminal)
        os.close(slave)
        try:
            self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
        finally:
            os.close(master)  # the last descriptor of the master: a hang-up
        self.wait_taken(p.pid, signal.SIGHUP)
        release(hold)
        self.assertEqual(4, p.wait(timeout=60))
        self.assertNoWorkDir()

    def test_output_into_a_pipe_that_closes(self):
        # pkg | head -c1: the reader is gone once unpacking has begun, before
        # the launcher writes again, and that write's SIGPIPE ends the run as
        # an interrupt does.
        r, w = os.pipe()
        head = subprocess.Popen(["sh", "-c", 'head -c1; until [ -e "$0" ]; do sleep 0.01; done',
                                 self.started], stdin=r, stdout=subprocess.PIPE)
        os.close(r)
        p = subprocess.Popen(self.isolated([self.slow_pkg, "-v"]), env=self.env, cwd=self.dir,
                             stdin=subprocess.DEVNULL, stdout=w, stderr=subprocess.PIPE)
        os.close(w)
        self.assertEqual(b"=", head.communicate(timeout=60)[0])
        release(self.unzip_hold)  # the reader is gone: unpacking may end
        err = p.communicate(timeout=60)[1]
        self.assertEqual(1, p.returncode, err)
        self.assertTrue(os.path.exists(self.started))
        self.assertNoWorkDir()

    def test_the_tool_keeps_the_default_actions(self):
        # The launcher's handlers end with the exec of the tool's shell.
        for name, number in (("HUP", signal.SIGHUP), ("PIPE", signal.SIGPIPE)):
            with self.subTest(signal=name):
                r = self.run_pkg(["-v"], env={"TOOL_KILL": name}, isolated=True)
                self.assertEqual(128 + number, r.returncode, r.stderr)
                self.assertEqual(["-v"], tool_args(r.stdout))
                self.assertNoWorkDir()


if __name__ == "__main__":
    unittest.main()
