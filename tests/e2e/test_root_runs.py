"""Root's runs that a local user (nobody) tries to steer, and hostile
packages against the trust store: one case for each way that once worked.
The attacker is real where it raced: an inotify swapper run as nobody."""
import hashlib
import os
import shutil
import stat
import struct
import subprocess
import time
import unittest

from e2e_util import (LAUNCHER, NAMESPACES, NO_NAMESPACES, RUNNER, TOOL, UNZIP, E2ETest,
                      build_package, make_zip, tool_args)
from pkg_util import Parts, run_pkgtool
from test_signatures import STORE, SigningTest

NOBODY = 65534
PWNED = "PWNED"
# Plants PWNED in the folder it was started in: what nobody wants root to run.
PAYLOAD = '#!/bin/sh\ntouch "%s/%s"\n'


def as_nobody(argv):
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", *argv]


def checksum(data):
    """The launcher's checksum: 4 bytes of BLAKE2b with a 16-byte output."""
    return hashlib.blake2b(data, digest_size=16).digest()[:4]


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                     "playing another user needs root and setpriv")
class RootRuns(SigningTest):
    def nobody_folder(self, name):
        path = self.path(name)
        os.mkdir(path)
        os.chown(path, NOBODY, NOBODY)
        return path

    def racer(self, folder):
        """nobody's swapper: on every access to folder, its entry base turns
        from a folder into a link to nobody's evil/ and back."""
        script = self.path("racer.sh")
        with open(script, "w") as f:
            f.write('cd "$1" && mkdir -p base evil && exec inotifywait -m -e open,access,attrib '
                    '. 2>&1 | while read -r line; do\n'
                    '  case $line in Watches*) touch ready; continue;; esac\n'
                    '  if [ -L base ]; then rm -f base && mv parked base\n'
                    '  else mv base parked 2>/dev/null && ln -s evil base; fi\n'
                    'done\n')
        p = subprocess.Popen(as_nobody(["sh", script, folder]), stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)

        def stop():
            os.killpg(p.pid, 9)
            p.wait()
        self.addCleanup(stop)
        self.assertTrue(self.wait_for(lambda: os.path.exists(os.path.join(folder, "ready"))))
        return os.path.join(folder, "base")

    def assertNothingPlanted(self, *folders):
        for folder in folders:
            for root, dirs, files in os.walk(folder):
                self.assertNotIn(PWNED, files, root)
                self.assertEqual([], [d for d in dirs if d.startswith("portable_install_")], root)

    def test_1_sign_drops_setuid_and_setgid(self):
        pkg = build_package(self.path("suid.pkg"), self.image)
        os.chown(pkg, NOBODY, NOBODY)
        os.chmod(pkg, 0o6755)
        self.sign(pkg, self.pkey)
        self.assertEqual(0o755, stat.S_IMODE(os.stat(pkg).st_mode))

    def test_2_arguments_stay_arguments(self):
        drop = self.nobody_folder("drop")
        os.chmod(drop, 0o777)
        planted = "x;cd $ZORVAN_PORTABLE_EXEC_DIR;sh p;.log"
        for name, text in ((planted, ""), ("p", PAYLOAD % (drop, PWNED))):
            subprocess.run(as_nobody(["sh", "-c", 'printf %s "$2" > "$1"', "-", name, text]),
                           cwd=drop, check=True)
        hostile = ["$(touch %s)" % PWNED, "`touch %s`" % PWNED, "a;touch " + PWNED, "a b", "*",
                   "-d", "v $(touch %s)" % PWNED]
        for runner in (False, True):
            with self.subTest(runner=runner):
                # Root's shell expands the glob to nobody's file name.
                prefix = '"%s" ' % RUNNER if runner else ""
                r = subprocess.run(["sh", "-c", prefix + '"$0" *.log "$@"', self.pkg, *hostile],
                                   cwd=drop, env=self.env, capture_output=True, text=True)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual([planted, *hostile], tool_args(r.stdout))
                self.assertNothingPlanted(drop, self.dir)

    def test_3_work_base_reached_through_others_folders_and_links(self):
        nob = self.nobody_folder("nob")
        shared = self.path("shared")
        os.mkdir(shared)
        os.chmod(shared, 0o777)  # root's, but anyone may rename in it
        os.mkdir(os.path.join(shared, "base"), 0o700)
        os.symlink(self.tmp, self.path("nob-link"))
        os.lchown(self.path("nob-link"), NOBODY, NOBODY)
        os.symlink(self.tmp, self.path("root-link"))
        cases = {
            self.racer(nob): "%s on its path belongs to another user" % nob,
            os.path.join(shared, "base"):
                "%s on its path may be written by others and is not sticky" % shared,
            self.path("nob-link"): "it is a symbolic link that another user owns",
        }
        for base, why in cases.items():
            for attempt in range(3 if base.startswith(nob) else 1):
                with self.subTest(base=base, attempt=attempt):
                    r = self.run_pkg(["-v"], env={"TRELL_PORTABLE_TMPDIR": base})
                    self.assertEqual(1, r.returncode, r.stdout)
                    self.assertEqual("Failed using TRELL_PORTABLE_TMPDIR: %s: %s\n"
                                     % (base, why), r.stderr)
                    self.assertNothingPlanted(nob, shared)
        # The same from TMPDIR: passed over for the next place that serves.
        r = self.run_pkg(["-v"], isolated=True, setup="mount -o remount,bind,ro /tmp",
                         env={"TMPDIR": self.path("nob-link")})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("TMPDIR=%s: it is a symbolic link that another user owns"
                      % self.path("nob-link"), r.stderr)
        # Root's own link is followed; the dezodur link is made inside the
        # work directory, pointing into it.
        image = make_zip(self.path("dz.zip"), {
            "tool": "#!/bin/sh\nls -l dezodur/libsysfs.so.2.0.1\n" + TOOL.split("\n", 1)[1],
            "dezodur/x": "", "vud_ora/libsysfs.so": ""})
        pkg = build_package(self.path("dz.pkg"), image)
        r = self.run_pkg(["-v"], pkg=pkg, env={"TRELL_PORTABLE_TMPDIR": self.path("root-link")})
        self.assertEqual(0, r.returncode, r.stderr)
        work = os.path.join(self.path("root-link"), "portable_install_")
        self.assertRegex(r.stdout, r"dezodur/libsysfs.so.2.0.1 -> %s[0-9a-f]{8}/vud_ora/"
                                   r"libsysfs.so" % work)
        self.assertNoWorkDir()

    def test_4_scratch_path_reaches_the_shell_quoted(self):
        base = self.path("pk dir;touch %s;x" % PWNED)
        os.mkdir(base)
        # A record for this host where pkgtool can name it, so that no
        # mismatch pause comes in between (the fall-back runs all the same).
        with open("/etc/os-release") as f:
            release = dict(l.rstrip("\n").split("=", 1) for l in f if "=" in l)
        host = (release.get("ID", "").strip('"'), release.get("VERSION_ID", "0").strip('"')
                .split(".")[0], os.uname().machine, "0", "./tool", "")
        pkg = self.path("host.pkg")
        if run_pkgtool("build", "-o", pkg, "--stub", LAUNCHER, "--unzip", UNZIP, "--record",
                       *host, "--image", self.image).returncode != 0:
            pkg = self.pkg
        del self.env["TRELL_PORTABLE_INTERACTIVE"]  # identification runs
        # /tmp takes no file: the identification's goes into the base.
        r = self.run_pkg(["-v"], pkg=pkg, isolated=True,
                         env={"TRELL_PORTABLE_TMPDIR": base, "TRELL_PORTABLE_DEBUG": ""},
                         setup="mount -t tmpfs -o ro,size=64k tmpfs /tmp")
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertNotIn("Failed executing uname", r.stderr)
        self.assertEqual([], os.listdir(base))
        # No stray file where the run started, and nothing planted.
        made = {"image.zip", "pkg", "tmp", os.path.basename(base), "p.key", "p.pub", "m.key",
                "m.pub", os.path.basename(pkg)}
        self.assertEqual(made, set(os.listdir(self.dir)))
        self.assertNothingPlanted(self.dir)

    def test_5_extraction_targets_are_checked_to_the_root(self):
        srv = self.path("srv")
        os.makedirs(os.path.join(srv, "cron.d"))
        with open(os.path.join(srv, "cron.d", "tool"), "w") as f:
            f.write("root's own\n")
        u2 = self.path("u2")
        os.symlink(srv, u2)
        os.lchown(u2, NOBODY, NOBODY)
        target = os.path.join(u2, "cron.d")
        why = "%s on its path is a symbolic link that another user owns" % u2
        ways = {
            "--extract": lambda: self.run_pkg(["--extract", target]),
            "trell-run --extract": lambda: self.run_pkg(["--extract", target], runner=True),
            "pkgtool unpack": lambda: run_pkgtool("unpack", self.pkg, target),
            "tunzip -d": lambda: subprocess.run([UNZIP, "-o", self.image, "-d", target],
                                                capture_output=True, text=True),
        }
        for way, run in ways.items():
            with self.subTest(way=way):
                r = run()
                self.assertNotEqual(0, r.returncode, r.stdout)
                self.assertIn(why, r.stderr)
                self.assertEqual(["tool"], os.listdir(os.path.join(srv, "cron.d")))
                with open(os.path.join(srv, "cron.d", "tool")) as f:
                    self.assertEqual("root's own\n", f.read())
        # A parent that nobody swaps for a link while it is walked: refused
        # however the race falls, nothing reaches nobody's evil/.
        nob = self.nobody_folder("nob")
        raced = self.racer(nob)
        for attempt in range(3):
            r = self.run_pkg(["--extract", os.path.join(raced, "out")])
            self.assertEqual(1, r.returncode)
            self.assertIn("%s on its path belongs to another user" % nob, r.stderr)
        self.assertEqual([], os.listdir(os.path.join(nob, "evil")))

    def store_with(self, *files):
        upper = self.path("etc-upper")
        setup = self.host([])
        for name, text in files:
            with open(os.path.join(upper, "trell", "trusted-keys", name), "w") as f:
                f.write(text)
        return setup

    def test_6_trust_a_package_cannot_switch_off(self):
        unsigned = build_package(self.path("unsigned"), self.image)
        with open(self.ppub) as f:
            key = f.read()
        # A store whose only entry is a dot-file refuses every package.
        for runner in (False, True):
            r = self.run_pkg(["-v"], pkg=unsigned, runner=runner, isolated=True,
                             setup=self.store_with((".hidden", "x\n")))
            shutil.rmtree(self.path("etc-upper"))
            shutil.rmtree(self.path("etc-work"))
            self.assertEqual(1, r.returncode)
            self.assertIn("Refused: %s/.hidden in the trust store is not a minisign public key"
                          % STORE, r.stderr)
        # An unsigned package whose own launcher names another store, its
        # checksums made anew: run directly, it checks only itself; trell-run
        # checks it with the installed code and refuses it.
        parts = Parts(unsigned)
        data = bytearray(parts.data)
        launcher = bytes(data[:parts.sizes[0]])
        self.assertIn(STORE.encode(), launcher)
        data[:parts.sizes[0]] = launcher.replace(STORE.encode(), STORE[:-1].encode() + b"z")
        directory = len(data) - 549
        record = directory + 20
        data[record + 216:record + 220] = checksum(bytes(data[:parts.sizes[0]]))
        raw = bytearray(data[directory:directory + 548])
        raw[220:236] = bytes(16)
        data[record + 212:record + 216] = checksum(bytes(raw))
        patched = parts.write(self.path("patched"), data)
        for runner, status in ((False, 0), (True, 1)):
            r = self.run_pkg(["-v"], pkg=patched, runner=runner, isolated=True,
                             setup=self.store_with(("p.pub", key)))
            shutil.rmtree(self.path("etc-upper"))
            shutil.rmtree(self.path("etc-work"))
            self.assertEqual(status, r.returncode, r.stderr)
            if runner:
                self.assertIn("this package is unsigned", r.stderr)

    def test_7_damage_in_any_element_is_refused_before_anything_is_written(self):
        parts = Parts(self.pkg)
        central = parts.data.index(b"PK\x01\x02", parts.offset(4))
        # A byte the damaged launcher itself does not run: its version mark.
        mark = parts.data.index(b"TRELL-LAUNCHER-VERSION ")
        changes = {
            "a launcher byte": (mark + 3, 0x01, "the launcher (element 0)"),
            "an entry's time": (central + 12, 0x01, "the image's zip directory (element 4)"),
            "an owner-execute bit": (central + 40, 0x40, "the image's zip directory (element 4)"),
            "version made by": (central + 4, 0x01, "the image's zip directory (element 4)"),
        }
        for what, (at, bit, named) in changes.items():
            data = bytearray(parts.data)
            data[at] ^= bit
            damaged = parts.write(self.path("damaged"), data)
            for runner in (False, True):
                with self.subTest(what=what, runner=runner):
                    r = self.run_pkg(["-v"], pkg=damaged, runner=runner)
                    self.assertEqual(1, r.returncode)
                    self.assertEqual("Damaged package: %s is not what was built; get the "
                                     "package again\n" % named, r.stderr)
                    self.assertEqual("", r.stdout)
            self.assertEqual(1, run_pkgtool("verify", damaged).returncode)

    def test_8_signatures_are_not_malleable(self):
        # A package whose signed bytes need alignment: images of a few sizes.
        for filler in range(8):
            image = make_zip(self.path("img%d.zip" % filler), {"tool": TOOL, "f": "x" * filler})
            signed = self.sign(build_package(self.path("signed"), image), self.pkey)
            end = os.path.getsize(signed)
            with open(signed, "rb") as f:
                data = bytearray(f.read())
            block = struct.unpack_from("<I", data, end - 16)[0]
            if data[end - block - 1] == 0:
                break
        self.assertEqual(0, data[end - block - 1])
        data[end - block - 1] = 0x41
        changed = self.path("changed")
        with open(changed, "wb") as f:
            f.write(data)
        os.chmod(changed, 0o755)
        for runner in (False, True):
            r = self.run_pkg(["-v"], pkg=changed, runner=runner)
            self.assertEqual(1, r.returncode)
            self.assertIn("Damaged package: the bytes between the package and its signature",
                          r.stderr)
        r = run_pkgtool("verify", changed)
        self.assertEqual(1, r.returncode)
        self.assertIn("are not the zeros that signing writes", r.stderr)

    def test_9_nothing_hangs_and_a_package_runs_itself(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        r = subprocess.run([UNZIP, "-l", fifo], capture_output=True, text=True, timeout=10)
        self.assertEqual(1, r.returncode)
        r = self.run_pkg(["-v"], pkg=fifo, runner=True, timeout=10)
        self.assertEqual(1, r.returncode)
        self.assertIn("it is not a regular file", r.stderr)
        # argv[0] names a FIFO, or another package: the package runs itself.
        other = build_package(self.path("other"), make_zip(
            self.path("other.zip"), {"tool": "#!/bin/sh\necho OTHER\n"}))
        for argv0 in (fifo, other):
            r = subprocess.run([argv0, "-v"], executable=self.pkg, env=self.env,
                               capture_output=True, text=True, timeout=20)
            self.assertEqual(0, r.returncode, r.stderr)
            self.assertEqual(["-v"], tool_args(r.stdout))
            self.assertNotIn("OTHER", r.stdout)


if __name__ == "__main__":
    unittest.main()
