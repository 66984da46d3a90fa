"""Packages in a bare root: a chroot, in a private mount namespace, that holds
only busybox-static (/bin/sh and its applet links), /dev/null, a 1777 /tmp
and the package, and no shared library at all.  A package with tunzip, the
static unzip utility, runs there in every mode; the same package with Debian's
dynamic miniunzip as element 1 fails at the unzip step."""
import os
import re
import shutil
import signal
import subprocess
import unittest
import zipfile

from e2e_util import (LAUNCHER, MINIUNZIP, NAMESPACES, NO_NAMESPACES, SANITIZED, TOOL, E2ETest,
                      build_package, make_zip, pkgtool, tool_args, tool_value, unpacking,
                      unzip_running)

BUSYBOX = "/bin/busybox"
PATH = "/bin:/sbin:/usr/bin:/usr/sbin"
SHARED_LIBRARY = re.compile(r"\.so(\.|$)")


@unittest.skipUnless(NAMESPACES, NO_NAMESPACES)
@unittest.skipIf(SANITIZED, "the sanitized launcher needs the sanitizers' shared libraries")
class BareRoot(E2ETest):
    def setUp(self):
        super().setUp()
        self.root = self.path("root")
        os.makedirs(os.path.join(self.root, "bin"))
        shutil.copy2(BUSYBOX, os.path.join(self.root, "bin", "busybox"))
        applets = subprocess.run([BUSYBOX, "--list-full"], capture_output=True, text=True,
                                 check=True).stdout.split()
        for rel in applets:
            link = os.path.join(self.root, rel)
            if os.path.lexists(link):
                continue
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink("/bin/busybox", link)
        os.mkdir(os.path.join(self.root, "dev"))
        open(os.path.join(self.root, "dev", "null"), "w").close()  # a mount point
        self.root_tmp = os.path.join(self.root, "tmp")
        os.mkdir(self.root_tmp)
        os.chmod(self.root_tmp, 0o1777)
        self.assertTrue(os.path.islink(os.path.join(self.root, "bin", "sh")))
        self.assertBare()

    def assertBare(self):
        """No shared library anywhere in the root, and nothing left in its
        /tmp."""
        found = [os.path.join(d, n) for d, dirs, files in os.walk(self.root)
                 for n in dirs + files if SHARED_LIBRARY.search(n)]
        self.assertEqual([], found)
        for lib in ("lib", "lib64", "usr/lib", "lib32"):
            self.assertFalse(os.path.exists(os.path.join(self.root, lib)), lib)
        self.assertEqual([], os.listdir(self.root_tmp))

    def package(self, image, name="pkg"):
        """Builds a package (with tunzip) and puts it into the root as /NAME."""
        pkg = build_package(self.path(name + ".built"), image)
        shutil.copy2(pkg, os.path.join(self.root, name))
        return "/" + name

    def bare_argv(self, argv):
        # /dev/null is bound in the private namespace only; chroot then runs
        # the package as the root's first process, with the root's sh.
        script = 'mount --bind /dev/null "$0/dev/null" && exec chroot "$0" "$@"'
        return ["unshare", "-m", "--propagation", "private", "sh", "-c", script, self.root,
                *argv]

    def bare_env(self, env=None):
        e = {"PATH": PATH, "TRELL_PORTABLE_INTERACTIVE": ""}
        e.update(env or {})
        return e

    def run_bare(self, argv, env=None, timeout=60):
        return subprocess.run(self.bare_argv(argv), env=self.bare_env(env), cwd=self.dir,
                              capture_output=True, text=True, timeout=timeout)

    def test_run_with_arguments_gives_the_tools_status(self):
        pkg = self.package(self.image)
        r = self.run_bare([pkg, "x", "-d", "a b"], env={"TOOL_EXIT": "7"})
        self.assertEqual(7, r.returncode, r.stdout + r.stderr)
        self.assertEqual(["x", "-d", "a b"], tool_args(r.stdout))
        self.assertTrue(tool_value(r.stdout, "cwd").startswith("/tmp/portable_install_"))
        self.assertEqual("/", tool_value(r.stdout, "ZORVAN_PORTABLE_EXEC_DIR"))
        self.assertBare()

    def test_run_without_arguments_identifies_the_host(self):
        # Without TRELL_PORTABLE_INTERACTIVE the launcher asks busybox's
        # uname; it cannot name this host, so it warns, waits and goes on.
        pkg = self.package(self.image)
        env = self.bare_env()
        del env["TRELL_PORTABLE_INTERACTIVE"]
        r = subprocess.run(self.bare_argv([pkg]), env=env, cwd=self.dir, capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertIn("tool: 0 args", r.stdout)
        self.assertIn("WARNING! This package doesn't appear to match your system.", r.stderr)
        self.assertRegex(tool_value(r.stdout, "ZORVAN_QELPI_GUI_T") or "",
                         r"^\d{14}\.\d{6}[+-]\d{3}$")
        self.assertBare()

    def test_extract_into_a_folder(self):
        image = make_zip(self.path("tree.zip"), {"tool": TOOL, "sub/data": "payload\n" * 100})
        pkg = self.package(image)
        r = self.run_bare([pkg, "--extract", "/out/x"])
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        out = os.path.join(self.root, "out", "x")
        with open(os.path.join(out, "tool")) as f:
            self.assertEqual(TOOL, f.read())
        with open(os.path.join(out, "sub", "data")) as f:
            self.assertEqual("payload\n" * 100, f.read())
        self.assertEqual(["sub", "tool"], sorted(os.listdir(out)))
        self.assertBare()

    def test_sigterm_while_unpacking(self):
        # 160 MB of random hexadecimal text, deflated: long enough to inflate
        # that the signal comes while the unzip utility writes.
        image = self.path("big.zip")
        with zipfile.ZipFile(image, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            z.writestr("tool", TOOL)
            for i in range(40):
                z.writestr("big%02d" % i, os.urandom(2 << 20).hex())
        pkg = self.package(image)
        os.unlink(image)
        # To the launcher alone, the signal is recorded and the run goes on:
        # the tool's status counts.  To the whole group (as from a terminal),
        # it ends the unzip utility too: the run fails, the tool never runs.
        for group, status in ((False, 5), (True, 1)):
            hit = False
            for attempt in range(3):
                with self.subTest(group=group, attempt=attempt):
                    hit = self.interrupt_unpacking(pkg, group, status)
                if hit:
                    break
            self.assertTrue(hit, "the signal never came while the unzip utility ran")

    def interrupt_unpacking(self, pkg, group, status):
        """Sends SIGTERM while the unzip utility writes; checks the ending.
        Result: whether the utility was still running when it came."""
        mark = os.path.join(self.root, "mark")
        p = subprocess.Popen(self.bare_argv([pkg]),
                             env=self.bare_env({"TOOL_MARK": "/mark", "TOOL_EXIT": "5"}),
                             cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, start_new_session=True)
        try:
            work = self.wait_for(lambda: unpacking(self.root_tmp, root=self.root), timeout=60,
                                 interval=0.001)
            self.assertTrue(work, "the unzip utility was never seen writing")
            # Unpacking takes far longer than the step from this look to
            # the signal.  (Ended by the signal, the utility is gone after.)
            hit = unzip_running(root=self.root, work=work)
            if group:
                os.killpg(p.pid, signal.SIGTERM)
            else:
                p.send_signal(signal.SIGTERM)
                hit = hit and unzip_running(root=self.root, work=work)
            out, err = p.communicate(timeout=120)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(status, p.returncode, out + err)
        self.assertIn("Extracting...", out)
        self.assertEqual(not group, "Executing..." in out, out)
        self.assertEqual(not group, os.path.exists(mark))
        if os.path.exists(mark):
            os.unlink(mark)
        self.assertBare()
        return hit

    def test_debian_miniunzip_fails_there(self):
        # The same tool with Debian's dynamic miniunzip as element 1: pkgtool
        # says what it needs, and in the bare root the unzip step fails.
        out = self.path("mini.pkg")
        build = pkgtool("build", "-o", out, "--stub", LAUNCHER, "--unzip", MINIUNZIP,
                        "--record", "redhat", "5", "x86-64", "0", "./tool", "",
                        "--image", self.image)
        self.assertIn("the shared libraries libminizip.so.1, libc.so.6", build.stderr)
        shutil.copy2(out, os.path.join(self.root, "mini"))
        r = self.run_bare(["/mini", "arg"])
        self.assertEqual(1, r.returncode, r.stdout + r.stderr)
        self.assertIn("./miniunz: not found", r.stderr)
        self.assertIn("\nFailed executing <./miniunz -o image.zip > /dev/null>\n", r.stderr)
        self.assertNotIn("tool:", r.stdout)
        self.assertBare()
        # On this host, which has the libraries, the same package runs.
        ok = self.run_pkg(["arg"], pkg=out)
        self.assertEqual(0, ok.returncode, ok.stdout + ok.stderr)
        self.assertEqual(["arg"], tool_args(ok.stdout))


if __name__ == "__main__":
    unittest.main()
