"""Hardened hosts, made with real mounts in private mount namespaces: /tmp,
/var/tmp and /dev/shm mounted noexec (as CIS and DISA STIG profiles do),
read-only or too small.  The launcher unpacks where the host lets programs
run and there is room, says where and why, and leaves nothing behind in any
of the places it considered."""
import os
import re
import shutil
import signal
import subprocess
import unittest

from e2e_util import (NAMESPACES, NO_NAMESPACES, TOOL, UNZIP, E2ETest, build_package,
                      error_shell_runs, held_unzip, make_zip, release, tool_args, tool_value,
                      write_script)

# Where each place the launcher considers comes from: a folder of the test
# bound over it.  The package's own folder is the test folder, at /mnt.
PLACES = {"/tmp": "c-tmp", "/var/tmp": "c-vartmp", "/dev/shm": "c-shm", "/home": "c-home"}
CIS = {"/tmp": "noexec", "/var/tmp": "noexec", "/dev/shm": "noexec"}
UNZIP_LINE = "\nFailed executing <./miniunz -o image.zip > /dev/null>\n"


class HardenedHost(E2ETest):
    def setUp(self):
        super().setUp()
        if not NAMESPACES:
            self.skipTest(NO_NAMESPACES)
        for folder in PLACES.values():
            os.mkdir(self.path(folder))
            os.chmod(self.path(folder), 0o1777)
        # The unzip utility inside the test folder, which the private mounts
        # never hide (a checkout under /tmp would be).
        self.unzip = shutil.copy(UNZIP, self.path("tunzip"))
        self.started = self.path("unzip-started")
        self.unzip_hold = self.path("unzip-go")
        slow = write_script(self.path("slow-unzip"),
                            held_unzip("/mnt/unzip-started", "/mnt/unzip-go",
                                       'exec /mnt/tunzip "$@"\n'))
        self.slow_pkg = build_package(self.path("slow"), self.image, unzip=slow)
        self.env["HOME"] = "/home"
        self.env.pop("TMPDIR", None)
        self.env.pop("TRELL_PORTABLE_TMPDIR", None)

    def host(self, argv, mounts=CIS, package_folder=""):
        """argv wrapped to run on a host whose places are mounted as mounts
        says ("noexec", "ro", "" plain, or "tmpfs:OPTIONS"), with the test
        folder as /mnt (package_folder: its options)."""
        # /mnt first: the test folder lies below a place that is covered.
        lines = ['mount --bind "$0" /mnt']
        for target, folder in PLACES.items():
            how = mounts.get(target, "")
            if how.startswith("tmpfs:"):
                lines.append("mount -t tmpfs -o mode=1777,%s trell %s" % (how[6:], target))
                continue
            lines.append("mount --bind /mnt/%s %s" % (folder, target))
            if how:
                lines.append("mount -o remount,bind,%s %s" % (how, target))
        if package_folder:
            lines.append("mount -o remount,bind,%s /mnt" % package_folder)
        script = " && ".join(lines) + ' && exec "$@"'
        return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, self.dir, *argv]

    def run_host(self, args=(), pkg="/mnt/pkg", env=None, input=None, **host):
        e = dict(self.env)
        e.update(env or {})
        return subprocess.run(self.host([pkg, *args], **host), env=e, cwd=self.dir, input=input,
                              capture_output=True, text=True, timeout=60)

    def start_host(self, args=(), pkg="/mnt/pkg", env=None, **host):
        e = dict(self.env)
        e.update(env or {})
        return subprocess.Popen(self.host([pkg, *args], **host), env=e, cwd=self.dir,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def leftovers(self):
        """Work directories and temporary files left in any place."""
        left = []
        for folder in [""] + list(PLACES.values()):
            for name in os.listdir(self.path(folder)):
                if name.startswith(("portable_install_", "trell_uname")):
                    left.append(os.path.join(folder, name))
        return left

    def assertNothingLeft(self):
        self.assertEqual([], self.leftovers())


class CisHost(HardenedHost):
    """/tmp, /var/tmp and /dev/shm noexec: the package's own folder serves."""
    NOTE = ("Unpacking in /mnt: /tmp is mounted noexec, /var/tmp is mounted noexec, "
            "/dev/shm is mounted noexec\n")

    def test_a_run_with_arguments_and_its_status(self):
        r = self.run_host(["-d", "/var/log/x", "-v"], env={"TOOL_EXIT": "3"})
        self.assertEqual(3, r.returncode, r.stderr)
        self.assertEqual(self.NOTE, r.stderr)
        self.assertEqual(["-d", "/var/log/x", "-v"], tool_args(r.stdout))
        self.assertRegex(tool_value(r.stdout, "cwd"), r"^/mnt/portable_install_[0-9a-f]{8}$")
        # The banner tells where the tool is unpacked.
        self.assertIn("private folder under /mnt,\n", r.stdout)
        self.assertNothingLeft()

    def test_extract(self):
        r = self.run_host(["--extract", "/mnt/out"])
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(self.NOTE, r.stderr)
        with open(self.path("out", "tool")) as f:
            self.assertEqual(TOOL, f.read())
        self.assertNothingLeft()

    def test_sigterm_while_unpacking_and_while_the_tool_runs(self):
        p = self.start_host(["-v"], pkg="/mnt/slow")
        self.assertTrue(self.wait_for(lambda: os.path.exists(self.started)))
        p.send_signal(signal.SIGTERM)  # recorded; the unpacking goes on
        self.wait_taken(p.pid, signal.SIGTERM)
        release(self.unzip_hold)
        out, err = p.communicate(timeout=60)
        self.assertEqual(0, p.returncode, err)
        self.assertEqual(["-v"], tool_args(out))
        self.assertNothingLeft()

        mark = self.path("tool-started")
        p = self.start_host(["-v"], env={"TOOL_HOLD": "/mnt/tool-go",
                                         "TOOL_MARK": "/mnt/tool-started", "TOOL_EXIT": "4"})
        self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
        p.send_signal(signal.SIGTERM)
        self.wait_taken(p.pid, signal.SIGTERM)
        release(self.path("tool-go"))
        out, err = p.communicate(timeout=60)
        self.assertEqual(4, p.returncode, err)
        self.assertNothingLeft()

    def test_sigterm_outside_the_windows(self):
        # The error shell waits for input: a SIGTERM there removes the work
        # directory in the fallback place and ends the run with status 1.
        mark = self.path("tool-ran")
        p = subprocess.Popen(self.host(["/mnt/pkg", "-v"]),
                             env=dict(self.env, TOOL_EXIT="3", ZORVAN_PORTABLE_ERR_SH="",
                                      TOOL_MARK="/mnt/tool-ran"),
                             cwd=self.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.assertTrue(self.wait_for(lambda: os.path.exists(mark)))
        # Once the error shell runs, the launcher waits outside the windows.
        self.assertTrue(self.wait_for(lambda: error_shell_runs(p.pid)))
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=60)
        self.assertEqual(1, p.returncode, err)
        self.assertNothingLeft()

    def test_the_error_shell(self):
        r = self.run_host(["-v"], env={"TOOL_EXIT": "3", "ZORVAN_PORTABLE_ERR_SH": ""},
                          input='echo "shell in $(pwd)"\n')
        self.assertEqual(3, r.returncode, r.stderr)
        cwd = tool_value(r.stdout, "cwd")
        self.assertTrue(cwd.startswith("/mnt/portable_install_"), cwd)
        self.assertIn("shell in " + cwd, r.stdout)
        self.assertNothingLeft()

    def test_parallel_runs(self):
        procs = [self.start_host([str(i)]) for i in range(6)]
        dirs = set()
        for i, p in enumerate(procs):
            out, err = p.communicate(timeout=60)
            self.assertEqual(0, p.returncode, err)
            self.assertEqual([str(i)], tool_args(out))
            dirs.add(tool_value(out, "cwd"))
        self.assertEqual(6, len(dirs))
        self.assertNothingLeft()


class OtherFaults(HardenedHost):
    def test_read_only_tmp(self):
        # Host identification writes its temporary file in the chosen place
        # too: the architecture is still found.
        self.env.pop("TRELL_PORTABLE_INTERACTIVE")
        r = self.run_host(["-v"], mounts={"/tmp": "ro"})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertTrue(r.stderr.startswith("Unpacking in /var/tmp: /tmp is mounted read-only\n"),
                        r.stderr)
        self.assertIn("processor architecture = x86-64\n", r.stderr)
        self.assertTrue(tool_value(r.stdout, "cwd").startswith("/var/tmp/portable_install_"))
        self.assertNothingLeft()

    def test_tmp_too_small_for_an_image_that_fits_elsewhere(self):
        image = make_zip(self.path("big.zip"), {"tool": TOOL, "blob": os.urandom(3 << 20)})
        build_package(self.path("big"), image)
        r = self.run_host(["-v"], pkg="/mnt/big", mounts={"/tmp": "tmpfs:size=2m"})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertRegex(r.stderr, r"^Unpacking in /var/tmp: /tmp has 2 MiB free, the "
                         r"package needs (8|9) MiB\n$")
        self.assertNothingLeft()
        # Too few files left: 40 entries on a tmpfs that takes 20 more.
        image = make_zip(self.path("many.zip"), dict({"tool": TOOL},
                                                     **{"f%d" % i: "x" for i in range(40)}))
        build_package(self.path("many"), image)
        r = self.run_host(["-v"], pkg="/mnt/many", mounts={"/tmp": "tmpfs:nr_inodes=20"})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertRegex(r.stderr, r"^Unpacking in /var/tmp: /tmp has room for 1\d more files, "
                         r"the package needs 5\d\n$")
        # A package without sizes is tried in /tmp, as always, and fails there.
        with open(self.path("big"), "r+b") as f:
            f.seek(-549 + 20, os.SEEK_END)
            f.write(bytes(260))
        r = self.run_host(["-v"], pkg="/mnt/big", mounts={"/tmp": "tmpfs:size=2m"})
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed extracting portable image\n", r.stderr)

    def listing(self):
        """Every place's entries (less what a sanitizer's run-time makes)."""
        return {f: sorted(n for n in os.listdir(self.path(f))
                          if not n.startswith("trell-sanitizer-reports"))
                for f in [""] + list(PLACES.values())}

    def test_every_place_refused(self):
        before = self.listing()
        mounts = dict(CIS, **{"/home": "noexec"})
        r = self.run_host(["-v"], env={"TMPDIR": "relative/tmp"}, mounts=mounts,
                          package_folder="ro")
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed finding a folder to unpack the package in:\n"
                         "  /tmp is mounted noexec\n"
                         "  TMPDIR=relative/tmp is not an absolute path\n"
                         "  /var/tmp is mounted noexec\n"
                         "  /dev/shm is mounted noexec\n"
                         "  /mnt is mounted read-only\n"
                         "  HOME=/home is mounted noexec\n"
                         "Set TRELL_PORTABLE_TMPDIR to a folder where programs may run, with "
                         "room for the package\n", r.stderr)
        self.assertEqual("", r.stdout)
        self.assertEqual(before, self.listing())

    def test_the_folder_the_user_names(self):
        os.mkdir(self.path("mine"))
        r = self.run_host(["-v"], env={"TRELL_PORTABLE_TMPDIR": "/mnt/mine"}, mounts={})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("Unpacking in /mnt/mine: TRELL_PORTABLE_TMPDIR names it\n", r.stderr)
        self.assertTrue(tool_value(r.stdout, "cwd").startswith("/mnt/mine/portable_install_"))
        self.assertEqual([], os.listdir(self.path("mine")))
        # Unusable or relative: one line and status 1, though the package's
        # folder would serve; nothing is created anywhere.
        for value, why in (("/tmp", "/tmp is mounted noexec"),
                           ("mine", "mine is not an absolute path"),
                           ("/mnt/none", "/mnt/none does not exist")):
            with self.subTest(value=value):
                r = self.run_host(["-v"], env={"TRELL_PORTABLE_TMPDIR": value})
                self.assertEqual(1, r.returncode)
                self.assertEqual("Failed using TRELL_PORTABLE_TMPDIR: %s\n" % why, r.stderr)
                self.assertEqual("", r.stdout)
                self.assertNothingLeft()
                self.assertFalse(os.path.exists(self.path("none")))

    def test_tmpdir_open_to_others_or_a_link_to_a_noexec_place(self):
        os.mkdir(self.path("open"))
        os.chmod(self.path("open"), 0o777)
        os.symlink("/tmp", self.path("link"))
        for tmpdir, why in (("/mnt/open", "may be written by others and is not sticky"),
                            ("/mnt/link", "is mounted noexec")):
            with self.subTest(tmpdir=tmpdir):
                r = self.run_host(["-v"], env={"TMPDIR": tmpdir}, mounts={"/tmp": "noexec"})
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual("Unpacking in /var/tmp: /tmp is mounted noexec, TMPDIR=%s %s\n"
                                 % (tmpdir, why), r.stderr)
                self.assertEqual([], os.listdir(self.path("open")))
                self.assertNothingLeft()

    def test_unzip_utility_refused_in_the_first_place(self):
        # Stands in for a security module's denial, which no mount flag
        # shows: the shell's status 126 wherever the folder is under /tmp.
        refusing = write_script(self.path("refusing-unzip"),
                                '#!/bin/sh\ncase "$PWD" in /tmp/*|/mnt/mine/*) echo "denied" >&2;'
                                ' exit 126;; esac\nexec /mnt/tunzip "$@"\n')
        build_package(self.path("refusing"), self.image, unzip=refusing)
        r = self.run_host(["-v"], pkg="/mnt/refusing", mounts={})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("denied\nUnpacking in /var/tmp: /tmp does not let programs run\n",
                         r.stderr)
        self.assertEqual(["-v"], tool_args(r.stdout))
        self.assertNothingLeft()
        # In the folder the user named there is no other try.
        os.mkdir(self.path("mine"))
        r = self.run_host(["-v"], pkg="/mnt/refusing", mounts={},
                          env={"TRELL_PORTABLE_TMPDIR": "/mnt/mine"})
        self.assertEqual(1, r.returncode)
        self.assertTrue(r.stderr.endswith(
            "denied\n" + UNZIP_LINE +
            "Failed using TRELL_PORTABLE_TMPDIR: /mnt/mine does not let programs run\n"),
            r.stderr)
        self.assertEqual([], os.listdir(self.path("mine")))

    def test_extract_folder_without_room(self):
        image = make_zip(self.path("big.zip"), {"tool": TOOL, "blob": os.urandom(3 << 20)})
        build_package(self.path("big"), image)
        argv = self.host(["sh", "-c", 'mkdir /mnt/small && mount -t tmpfs -o size=2m x '
                          '/mnt/small && "$0" --extract /mnt/small; s=$?; ls -A /mnt/small; '
                          'exit $s', "/mnt/big"], mounts={})
        r = subprocess.run(argv, env=self.env, cwd=self.dir, capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(1, r.returncode)
        self.assertRegex(r.stderr, r"^Not enough room in /mnt/small: 20\d\d KiB free, the "
                         r"unpacked image needs 4\d\d\d KiB\n$")
        self.assertEqual("", r.stdout)  # nothing written into it, no banner
        self.assertNothingLeft()


class NormalHost(E2ETest):
    def test_byte_for_byte_as_before(self):
        r = self.run_pkg(["-v"], isolated=True)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("", r.stderr)
        cwd = tool_value(r.stdout, "cwd")
        self.assertTrue(re.fullmatch(r"/tmp/portable_install_[0-9a-f]{8}", cwd), cwd)
        self.assertEqual(
            "==============================================================\n"
            "  Trell Portable Launcher\n"
            "  Self-extracting diagnostic tool package\n"
            "\n"
            "  The tool is unpacked into a private folder under /tmp,\n"
            "  run with your arguments, and removed when it ends.\n"
            "==============================================================\n"
            "\n"
            "Extracting...\n"
            "Executing...\n\n\n"
            "tool: 1 args\n[-v]\ncwd=%s\nZoveziZurArivid=en\nZORVAN_PORTABLE_EXEC_DIR=%s\n"
            % (cwd, self.dir), r.stdout)
        self.assertNoWorkDir()


if __name__ == "__main__":
    unittest.main()
