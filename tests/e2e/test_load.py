"""Load: many launches of one package at once, and a storm of ending signals
(SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE) at random moments of many runs.
No work directory may survive."""
import os
import random
import signal
import time
import unittest

from e2e_util import TOOL, E2ETest, build_package, make_zip, tool_value

STORM_RUNS = int(os.environ.get("TRELL_STORM_RUNS", "200"))
ENDING = (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT, signal.SIGHUP, signal.SIGPIPE)


def handler_installed(pid, pkg):
    """True once pid runs the package and catches every ending signal (the
    launcher installs them one after the other)."""
    try:
        if os.path.realpath("/proc/%d/exe" % pid) != os.path.realpath(pkg):
            return False
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("SigCgt:"):
                    caught = int(line.split()[1], 16)
                    return all(caught & (1 << (s - 1)) for s in ENDING)
    except OSError:
        pass
    return False


class Load(E2ETest):
    def test_twenty_launches_at_once(self):
        # Each tool runs for a while, so that the twenty runs overlap.
        procs = [self.start_pkg(["-v"], env={"TOOL_SLEEP": "0.3"}) for _ in range(20)]
        results = [p.communicate(timeout=120) + (p.returncode,) for p in procs]
        dirs = set()
        for out, err, code in results:
            self.assertEqual(0, code, err)
            dirs.add(tool_value(out, "cwd"))
        self.assertEqual(20, len(dirs))
        self.assertNoWorkDir()

    def test_signal_storm(self):
        image = make_zip(self.path("storm.zip"), {"tool": TOOL, "blob": os.urandom(3 << 20)})
        pkg = build_package(self.path("storm"), image)
        rng = random.Random(os.environ.get("TRELL_STORM_SEED", "storm"))
        # A run's length from the moment its handler is in place, to spread
        # the signals over it.
        first = self.start_pkg(["-v"], pkg=pkg)
        self.assertTrue(self.wait_for(lambda: handler_installed(first.pid, pkg), interval=0.0005))
        start = time.monotonic()
        first.communicate(timeout=60)
        length = time.monotonic() - start
        statuses = {}
        pending = list(range(STORM_RUNS))
        while pending:
            batch = [pending.pop() for _ in range(min(2, len(pending)))]
            procs = []
            for _ in batch:
                p = self.start_pkg(["-v"], pkg=pkg, env={"TOOL_EXIT": "3"})
                procs.append((p, rng.choice(ENDING),
                              rng.uniform(0, length)))
            for p, sig, delay in procs:
                self.assertTrue(self.wait_for(lambda: handler_installed(p.pid, pkg) or
                                              p.poll() is not None, timeout=30,
                                              interval=0.0005))
            t0 = time.monotonic()
            for p, sig, delay in sorted(procs, key=lambda x: x[2]):
                # The random moment is the test, not a wait.
                time.sleep(max(0, t0 + delay - time.monotonic()))
                try:
                    p.send_signal(sig)
                except ProcessLookupError:
                    pass
            for p, sig, delay in procs:
                out, err = p.communicate(timeout=60)
                key = (signal.Signals(sig).name, p.returncode)
                statuses[key] = statuses.get(key, 0) + 1
                self.assertIn(p.returncode, (0, 1, 3), (sig, err))
            self.assertNoWorkDir()
        # The storm hit both inside and outside the windows.
        codes = {code for _, code in statuses}
        self.assertIn(1, codes, statuses)
        self.assertIn(3, codes, statuses)


if __name__ == "__main__":
    unittest.main()
