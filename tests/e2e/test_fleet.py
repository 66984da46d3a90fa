"""A package run on a fleet through the collection trell.portable: the real
ansible-playbook over real SSH to sshd hosts on loopback, each in a mount
namespace of its own (plain, CIS-hardened, read-only /tmp, reached as a
plain user with become and without, a closed port, a tool that exits 3,
one that outlives the time-out, a connection cut during the run): the
summary and the table, the files byte for byte, nothing left on any host;
packages refused before any host is touched; ten hosts in parallel."""
import glob
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from e2e_util import NAMESPACES, NO_NAMESPACES, PKGTOOL, build_package, make_zip, tool_args
from fleet_hosts import NOEXEC, Fleet, free_uids
from install_util import BUILD, install_tree

# Shows its arguments, its user and the processes above it; writes a result
# file in /var/tmp (the image's payload.bin) and one in the folder it was
# started in.  TOOL_EXIT, TOOL_BIG (a sparse file of that size), TOOL_HOLD
# (waits, after a mark) and TOOL_STUBBORN (outlives SIGTERM) steer it.
TOOL = r"""#!/bin/sh
for a in "$@"; do echo "[$a]"; done
echo "uid=$(id -u)"
p=$PPID; chain=""
for _ in 1 2 3; do
  chain="$chain $(cat /proc/$p/comm)"
  p=$(sed 's/.*) [A-Z] \([0-9]*\).*/\1/' /proc/$p/stat)
done
echo "above:$chain"
echo "tool says hello" >&2
cp payload.bin /var/tmp/fleet-payload.bin
echo "report of $(id -un)" > "$ZORVAN_PORTABLE_EXEC_DIR/report 1.txt"
if [ -n "$TOOL_BIG" ]; then truncate -s "$TOOL_BIG" "$ZORVAN_PORTABLE_EXEC_DIR/big.bin"; fi
if [ -n "$TOOL_HOLD" ]; then touch "$ZORVAN_PORTABLE_EXEC_DIR/started"; sleep 60; fi
if [ -n "$TOOL_STUBBORN" ]; then
  trap 'echo "got TERM" >&2' TERM
  n=0; while [ $n -lt 600 ]; do sleep 0.1; n=$((n + 1)); done
fi
exit ${TOOL_EXIT:-0}
"""
PAYLOAD = os.urandom(300000)
BIG = 1 << 30
COLLECT = ["/var/tmp/fleet-*.bin", "report *.txt", "/var/tmp/never-*.log"]
ENV = {"TRELL_PORTABLE_INTERACTIVE": ""}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def summary(folder):
    with open(os.path.join(folder, "summary.json")) as f:
        return {e["host"]: e for e in json.load(f)}


@unittest.skipUnless(NAMESPACES, NO_NAMESPACES)
class FleetTest(unittest.TestCase):
    """A test folder in /var/tmp (each host has its own /var/tmp over it)
    with a package of the tool, a fleet, and plays on it."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="trell-e2e-", dir="/var/tmp")
        os.chmod(cls.dir, 0o755)
        cls.addClassCleanup(shutil.rmtree, cls.dir, ignore_errors=True)
        image = make_zip(os.path.join(cls.dir, "image.zip"), {"tool": TOOL, "payload.bin": PAYLOAD})
        cls.pkg = build_package(os.path.join(cls.dir, "fleet-tool.pkg"), image)
        cls.fleet = Fleet(cls.dir)
        cls.addClassCleanup(cls.fleet.close)

    @classmethod
    def variables(cls, **extra):
        return dict({"trell_package": cls.pkg, "trell_pkgtool": PKGTOOL,
                     "trell_args": ["alpha", "--beta"], "trell_collect": COLLECT,
                     "trell_environment": ENV}, **extra)


class Fleet8(FleetTest):
    """One play on eight hosts, each ending its own way."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        f = cls.fleet
        uids = free_uids(2)
        f.host("plain")
        f.host("cis", tmp=NOEXEC, vartmp=NOEXEC, shm=NOEXEC)
        f.host("rotmp", tmp="ro")
        f.host("become", user="trfleet", uid=uids[0]).vars["ansible_become"] = True
        f.host("exit3", user="trplain", uid=uids[1])
        f.host("slow")
        cls.cut = f.host("cut")
        f.closed_port("closed")
        # A file older than the run that a pattern matches: fetched and left.
        cls.old = os.path.join(f.hosts["plain"].path("vartmp"), "fleet-old.bin")
        with open(cls.old, "wb") as old:
            old.write(b"older than the run\n")
        host_vars = {
            "plain": {"trell_environment": dict(ENV, TOOL_BIG=str(BIG)),
                      "trell_collect": COLLECT + ["big.bin"]},
            "exit3": {"trell_environment": dict(ENV, TOOL_EXIT="3")},
            "slow": {"trell_environment": dict(ENV, TOOL_STUBBORN="1"), "trell_timeout": 3,
                     "trell_grace": 2},
            # Without a terminal (pipelining), no hang-up tells the run.
            "cut": {"trell_environment": dict(ENV, TOOL_HOLD="1"), "ansible_pipelining": True}}
        marks = os.path.join(cls.cut.home, ".ansible", "tmp", "*", "run", "started")
        cls.outcome = f.play(cls.variables(), host_vars, while_running=lambda: cls.cut_when(marks))
        results = glob.glob(os.path.join(cls.dir, "trell-results", "*"))
        cls.results = results[0] if len(results) == 1 else None
        # Then the connections end, and the processes of every host.
        f.close_connections()
        cls.left = {}
        for name, host in f.hosts.items():
            deadline = time.monotonic() + 20
            while host.strays() and time.monotonic() < deadline:
                time.sleep(0.1)
            cls.left[name] = (host.leftovers(), host.strays())
        f.hosts["plain"].stop()

    @classmethod
    def cut_when(cls, marks):
        """Cuts the connection of "cut" once its tool runs; True when done."""
        if glob.glob(marks):
            cls.cut.cut()
            return True
        return False

    def entry(self, host):
        self.assertIsNotNone(self.results, "no single results folder")
        return summary(self.results)[host]

    def host_file(self, host, *names):
        return os.path.join(self.results, host, *names)

    def test_summary_and_table(self):
        # Not every host ended with status 0: the play fails, as a whole.
        self.assertEqual(2, self.outcome.returncode, self.outcome.stdout[-3000:] + self.outcome.stderr)
        self.assertRegex(os.path.basename(self.results), r"^\d{8}-\d{6}$")
        expected = {"plain": ("ok", 0), "cis": ("ok", 0), "rotmp": ("ok", 0),
                    "become": ("ok", 0), "exit3": ("failed", 3), "slow": ("timeout", None),
                    "cut": ("unreachable", None), "closed": ("unreachable", None)}
        entries = summary(self.results)
        self.assertEqual(list(expected), list(entries))
        for host, (status, code) in expected.items():
            e = entries[host]
            if host == "slow":  # the launcher's own, after the signals
                code = e["exit_status"]
                self.assertNotIn(code, (None, 0))
            self.assertEqual((status, code), (e["status"], e["exit_status"]), e)
            shown = "-" if code is None else str(code)
            self.assertRegex(self.outcome.stdout, r'"%s +%s +%s ' % (host, status, shown))
            self.assertIsNone(e["runner"])
        self.assertTrue(entries["cut"]["message"].startswith("running: "), entries["cut"])
        self.assertTrue(entries["closed"]["message"].startswith("connecting: "), entries["closed"])
        for host in ("plain", "exit3", "slow"):
            self.assertEqual(["/var/tmp/never-*.log"], entries[host]["unmatched"])
            self.assertIn('"%s: nothing matched /var/tmp/never-*.log"' % host, self.outcome.stdout)

    def test_output_and_files_byte_for_byte(self):
        users = {"plain": ("root", 0), "cis": ("root", 0), "rotmp": ("root", 0),
                 "become": ("root", 0), "exit3": ("trplain", self.fleet.hosts["exit3"].uid)}
        for host, (user, uid) in users.items():
            with self.subTest(host=host):
                e = self.entry(host)
                stdout = read(self.host_file(host, "stdout.txt")).decode()
                stderr = read(self.host_file(host, "stderr.txt")).decode()
                self.assertEqual(["alpha", "--beta"], tool_args(stdout))
                self.assertIn("uid=%d\n" % uid, stdout)
                self.assertIn(" fleet-tool.pkg", stdout)  # the package ran itself
                self.assertNotIn("tool says hello", stdout)
                self.assertIn("tool says hello\n", stderr)
                self.assertNotIn("[alpha]", stderr)
                self.assertEqual(b"%d\n" % e["exit_status"], read(self.host_file(host, "status")))
                self.assertEqual(PAYLOAD, read(self.host_file(host, "var/tmp/fleet-payload.bin")))
                self.assertEqual(b"report of %s\n" % user.encode(),
                                 read(self.host_file(host, "report 1.txt")))
                for f in e["files"]:
                    local = os.path.join(self.results, f["fetched"])
                    self.assertEqual(f["size"], os.path.getsize(local), f)
                    if f["size"] < BIG:
                        self.assertEqual(f["sha256"], hashlib.sha256(read(local)).hexdigest(), f)
        # Hardened hosts need no setting: the launcher chose its place.
        self.assertRegex(read(self.host_file("cis", "stderr.txt")).decode(),
                         r"Unpacking in /root/\.ansible/tmp/ansible-tmp-[^/]+/run: /tmp is mounted noexec")
        self.assertIn("Unpacking in /var/tmp", read(self.host_file("rotmp", "stderr.txt")).decode())
        # The file older than the run came home and stayed.
        plain = {f["path"]: f for f in self.entry("plain")["files"]}
        self.assertEqual(read(self.old), read(self.host_file("plain", "var/tmp/fleet-old.bin")))
        # 1 GiB came home without a process on either side holding it.
        big = [f for path, f in plain.items() if path.endswith("/run/big.bin")]
        self.assertEqual(1, len(big), plain)
        zeros, block, h = 0, bytes(1 << 20), hashlib.sha256()
        with open(self.host_file("plain", "big.bin"), "rb") as f:
            for data in iter(lambda: f.read(len(block)), b""):
                zeros += len(data) if data == block[:len(data)] else 0
                h.update(data)
        self.assertEqual((BIG, BIG, h.hexdigest()), (big[0]["size"], zeros, big[0]["sha256"]))
        self.assertLess(self.outcome.max_rss_kib, 300 << 10)
        self.assertLess(self.fleet.hosts["plain"].max_rss_kib(), 300 << 10)

    def test_timeout_then_grace(self):
        e = self.entry("slow")
        # SIGTERM at 3 s, which the tool outlived; SIGKILL 2 s later.
        self.assertGreaterEqual(e["seconds"], 5)
        self.assertLess(e["seconds"], 15)
        self.assertIn("got TERM", read(self.host_file("slow", "stderr.txt")).decode())

    def test_nothing_left(self):
        for host, (files, processes) in self.left.items():
            expected = ["/var/tmp/fleet-old.bin"] if host == "plain" else []
            self.assertEqual((expected, []), (files, processes), host)
        self.assertFalse(os.path.exists(self.host_file("cut", "status")))


class Refusals(FleetTest):
    def test_refused_before_any_host_is_touched(self):
        f = self.fleet
        f.host("plain")
        f.host("become", user="trfleet", uid=free_uids(1)[0]).vars["ansible_become"] = True
        keys = {}
        for name in ("trusted", "other"):
            keys[name] = os.path.join(self.dir, name)
            subprocess.run([PKGTOOL, "keygen", "--secret", keys[name] + ".key",
                            "--public", keys[name] + ".pub"], check=True, capture_output=True)
        damaged = shutil.copy(self.pkg, os.path.join(self.dir, "damaged.pkg"))
        with open(damaged, "r+b") as p:
            p.seek(-700, os.SEEK_END)
            p.write(b"\x00")
        other = shutil.copy(self.pkg, os.path.join(self.dir, "other.pkg"))
        subprocess.run([PKGTOOL, "sign", "--key", keys["other"] + ".key", other], check=True)
        trust = [keys["trusted"] + ".pub"]
        for name, pkg, extra in (("damaged", damaged, {}),
                                 ("untrusted", other, {"trell_trust": trust})):
            with self.subTest(name):
                verdict = subprocess.run([PKGTOOL, "verify", pkg] + ["--trust", *trust] * bool(extra),
                                         capture_output=True, text=True)
                words = verdict.stdout + verdict.stderr
                if name == "damaged":
                    self.assertEqual(1, verdict.returncode)
                else:
                    words = [l for l in verdict.stdout.splitlines() if ": signature: " in l][0]
                r = f.play(self.variables(trell_package=pkg, **extra), name=name)
                self.assertNotEqual(0, r.returncode)
                for line in words.strip().splitlines():
                    self.assertIn(json.dumps(line)[1:-1], r.stdout)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "trell-results")))
        for host in f.hosts.values():
            self.assertNotIn("Accepted publickey", host.log())
            self.assertEqual([], os.listdir(host.home))


class Parallel(FleetTest):
    def test_ten_hosts_with_ten_forks(self):
        # TRELL_FLEET_HOSTS=1,10,30 gives the README's figures.
        sizes = [int(n) for n in os.environ.get("TRELL_FLEET_HOSTS", "1,10").split(",")]
        for i in range(max(sizes)):
            self.fleet.host("h%02d" % i)
        seconds = {}
        for n in sizes:
            names = ["h%02d" % i for i in range(n)]
            r = self.fleet.play(self.variables(trell_results_dir="r%d" % n), hosts=names,
                                name="p%d" % n)
            self.assertEqual(0, r.returncode, r.stdout[-3000:] + r.stderr)
            self.assertEqual({"ok"}, {e["status"] for e in
                                      summary(os.path.join(self.dir, "r%d" % n)).values()})
            seconds[n] = r.seconds
        print("\nwall time by hosts (forks 10): %s" %
              ", ".join("%d: %.1f s" % item for item in seconds.items()))
        self.assertLess(seconds[10], 5 * seconds[1])


class Arguments(FleetTest):
    def test_arguments_arrive_verbatim(self):
        self.fleet.host("plain")
        args = ["two words", "$(id)", "*", "a'b\"c"]
        r = self.fleet.play(self.variables(trell_args=args, trell_results_dir="r"))
        self.assertEqual(0, r.returncode, r.stdout[-3000:])
        self.assertEqual(args, tool_args(read(os.path.join(self.dir, "r", "plain",
                                                           "stdout.txt")).decode()))


class Runner(FleetTest):
    def test_installed_runner_where_the_host_has_it(self):
        prefix = install_tree(os.path.join(self.dir, "prefix"))
        for name in ("installed", "direct"):
            self.fleet.host(name, usr_local=prefix)
        r = self.fleet.play(self.variables(trell_results_dir="r"),
                            host_vars={"direct": {"trell_runner": ""}})
        self.assertEqual(0, r.returncode, r.stdout[-3000:])
        entries = summary(os.path.join(self.dir, "r"))
        self.assertEqual("/usr/local/bin/trell-run", entries["installed"]["runner"])
        self.assertIsNone(entries["direct"]["runner"])
        for name, above in (("installed", " trell-run"), ("direct", " fleet-tool.pkg")):
            stdout = read(os.path.join(self.dir, "r", name, "stdout.txt")).decode()
            self.assertEqual(["alpha", "--beta"], tool_args(stdout))
            self.assertIn(above, stdout)


if __name__ == "__main__":
    unittest.main()
