"""A package run as a user runs it: arguments, modes, exit status, the
variables handed to the tool, the output's order and the clean-up."""
import os
import subprocess
import unittest

from e2e_util import (SANITIZED, E2ETest, TOOL, assemble, build_package, make_zip,
                      read_trailer, record_bytes, split_elements, tool_args, tool_value)


class ArgumentsReachTheTool(E2ETest):
    def test_argument_table(self):
        cases = [
            (["-d", "/var/log/x", "-v"], ["-d", "/var/log/x", "-v"]),
            (["-i", "a", "b"], ["-i", "a", "b"]),
            (["-u"], ["-u"]),
            (["-d", "-v"], ["-d", "-v"]),
            (["/dev/sda1", "x"], ["/dev/sda1", "x"]),
            (["-html", "out"], ["-html", "out"]),
            (["-d", "a b"], ["-d", "a b"]),        # a quoted value stays one word
            (["x", "a b"], ["x", "a b"]),          # any argument stays one argument
        ]
        for user, seen in cases:
            with self.subTest(user=user):
                r = self.run_pkg(user)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual(seen, tool_args(r.stdout))
                self.assertWorkDirGone(r.stdout)

    def test_argument_modes(self):
        for mode, user, seen in [
            ("0", [], ["-a", "-b"]),
            ("0", ["-u"], ["-u"]),
            ("1", ["-u"], ["-a", "-b", "-u"]),
            ("1", [], ["-a", "-b"]),
            ("2", ["-u", "x"], ["-a", "-b"]),
        ]:
            with self.subTest(mode=mode, user=user):
                pkg = build_package(self.path("pkg" + mode), self.image,
                                    records=[("suse", "10", "x86", mode, "./tool", "-a -b")])
                r = self.run_pkg(user, pkg=pkg)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual(seen, tool_args(r.stdout))

    def test_values_too_long_are_refused(self):
        r = self.run_pkg(["-d", "v" * 1021], isolated=True)
        self.assertEqual(1, r.returncode)
        self.assertIn("a value is longer than 1020 characters", r.stderr)
        self.assertNotIn("tool:", r.stdout)
        self.assertNoWorkDir()
        r = self.run_pkg(["-d", "v" * 1020])
        self.assertEqual(0, r.returncode, r.stderr)
        r = self.run_pkg(["w" * 1500, "w" * 600], isolated=True)
        self.assertEqual(1, r.returncode)
        self.assertIn("it is longer than 2047 characters", r.stderr)
        self.assertNoWorkDir()


class ExitStatus(E2ETest):
    def test_tool_status_becomes_the_launchers(self):
        for code in (0, 1, 3, 255):
            with self.subTest(code=code):
                r = self.run_pkg(["-v"], env={"TOOL_EXIT": str(code)})
                self.assertEqual(code, r.returncode, r.stderr)
                self.assertWorkDirGone(r.stdout)

    def test_tool_ended_by_a_signal_is_a_failure(self):
        r = self.run_pkg(["-v"], env={"TOOL_KILL": "SEGV"})
        self.assertEqual(128 + 11, r.returncode)
        self.assertWorkDirGone(r.stdout)
        r = self.run_pkg(["-v"], env={"TOOL_KILL": "KILL"})
        self.assertEqual(128 + 9, r.returncode)

    def test_missing_command_in_image(self):
        pkg = build_package(self.path("p2"), self.image,
                            records=[("redhat", "5", "x86-64", "0", "./absent", "")])
        r = self.run_pkg(pkg=pkg, isolated=True)
        self.assertEqual(127, r.returncode)
        self.assertNoWorkDir()


class Environment(E2ETest):
    def test_variables_without_arguments(self):
        env = {"ZoveziZurArivid": "fr", "ZORVAN_PORTABLE_EXEC_DIR": "/old"}
        r = self.run_pkg([], env=env, cwd="/var/tmp")
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("en", tool_value(r.stdout, "ZoveziZurArivid"))
        self.assertEqual("/var/tmp", tool_value(r.stdout, "ZORVAN_PORTABLE_EXEC_DIR"))
        stamp = tool_value(r.stdout, "ZORVAN_QELPI_GUI_T")
        self.assertRegex(stamp, r"^\d{14}\.\d{6}[+-]\d{3}$")
        # The timestamp is the start of this run, in local time.
        import time
        self.assertEqual(time.strftime("%Y%m%d"), stamp[:8])

    def test_variables_with_arguments(self):
        r = self.run_pkg(["-v"], env={"ZORVAN_QELPI_GUI_T": "old"})
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("en", tool_value(r.stdout, "ZoveziZurArivid"))
        self.assertEqual(self.dir, tool_value(r.stdout, "ZORVAN_PORTABLE_EXEC_DIR"))
        # Not set by this run: the value it inherited passes through.
        self.assertEqual("old", tool_value(r.stdout, "ZORVAN_QELPI_GUI_T"))
        r = self.run_pkg(["-v"])
        self.assertIsNone(tool_value(r.stdout, "ZORVAN_QELPI_GUI_T"))

    def test_current_directory_gone(self):
        gone = self.path("gone")
        os.mkdir(gone)
        r = self.run_pkg([], cwd=gone, isolated=True, setup='cd "%s" && rmdir "%s"' % (gone, gone))
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed determining the current directory\n", r.stderr)
        self.assertNoWorkDir()


class OutputAndImage(E2ETest):
    def test_progress_order_and_tool_layout(self):
        files = {"tool": TOOL + "\n", "dezodur/readme": "d", "vud_ora/libsysfs.so": "lib",
                 "bin/helper": "#!/bin/sh\necho helper\n"}
        tool = TOOL.replace("exit ${TOOL_EXIT:-0}",
                            'readlink dezodur/libsysfs.so.2.0.1\n'
                            'cat dezodur/libsysfs.so.2.0.1; echo\n'
                            'ls -l tool | cut -c1-10\nexit 0')
        files["tool"] = tool
        pkg = build_package(self.path("p3"), make_zip(self.path("i3.zip"), files))
        r = self.run_pkg(["-v"], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        out = r.stdout
        self.assertIn("\nExtracting...\n", out)
        self.assertIn("Executing...\n\n\ntool: 1 args", out)
        self.assertLess(out.index("Extracting..."), out.index("Executing..."))
        cwd = tool_value(out, "cwd")
        # The link: absolute, from dezodur into vud_ora of the work directory.
        self.assertIn(cwd + "/vud_ora/libsysfs.so\nlib\n", out)
        self.assertIn("-rwxrwxrwx", out)
        self.assertFalse(os.path.exists(cwd))

    def test_work_directory_is_private(self):
        tool = TOOL.replace("exit ${TOOL_EXIT:-0}", 'stat -c "mode=%a" . ; exit 0')
        pkg = build_package(self.path("p4"), make_zip(self.path("i4.zip"), {"tool": tool}))
        r = self.run_pkg(["-v"], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("mode=700", r.stdout)

    def test_large_image_round_trip(self):
        big = os.urandom(3 * 131072 + 5)
        tool = TOOL.replace("exit ${TOOL_EXIT:-0}", "md5sum data.bin; exit 0")
        pkg = build_package(self.path("p5"), make_zip(self.path("i5.zip"),
                                                      {"tool": tool, "data.bin": big}))
        r = self.run_pkg(["-v"], pkg=pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        import hashlib
        self.assertIn(hashlib.md5(big).hexdigest(), r.stdout)


class BadPackages(E2ETest):
    def expect_failure(self, pkg, message):
        r = self.run_pkg(["-v"], pkg=pkg, isolated=True)
        self.assertEqual(1, r.returncode, r.stdout)
        self.assertIn(message, r.stderr)
        self.assertNotIn("Extracting...", r.stdout)
        self.assertNoWorkDir()

    def test_reader_failures(self):
        e = split_elements(self.pkg)[0]
        self.expect_failure(assemble(self.path("gi"), [e[0], e[1], e[2][:4], e[3], e[4]]),
                            "Failed extracting global info\n")
        self.expect_failure(assemble(self.path("gi2"), [e[0], e[1], e[2] + b"1234", e[3], e[4]]),
                            "Failed extracting global info\n")
        # A table that claims more than the file holds: the sizes no longer
        # fill the file up to its directory.
        d = read_trailer(self.pkg)[1]
        d[3] = 100000
        self.expect_failure(assemble(self.path("ct"), e, directory=d),
                            "Invalid package directory\n")
        # More records announced than present, or no record at all.
        import struct
        many = struct.pack("<ii", 2, 0)
        self.expect_failure(assemble(self.path("rc"), [e[0], e[1], many, e[3], e[4]]),
                            "Invalid command table: 2 records announced, room for 1\n")
        self.expect_failure(assemble(self.path("nt"), [e[0], e[1], e[2], b"", e[4]]),
                            "Invalid command table: 1 records announced, room for 0\n")
        bad = bytearray(record_bytes())
        bad[12:140] = b"x" * 128
        self.expect_failure(assemble(self.path("nn"), [e[0], e[1], e[2], bytes(bad), e[4]]),
                            "Invalid command record")

    def test_short_file_and_path_start(self):
        short = self.path("short")
        with open(short, "wb") as f:
            f.write(b"x" * 548)
        r = self.run_pkg(["-v"], pkg=short, runner=True)
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed seeking to package directory\n", r.stderr)
        # A launcher started under that name reads its own file all the same.
        r = self.run_pkg(["-v"], argv0=short)
        self.assertEqual(1, r.returncode)
        self.assertEqual("Invalid package directory\n", r.stderr)
        # Started through PATH from another folder: the package finds itself.
        os.mkdir(self.path("bin"))
        os.rename(self.pkg, self.path("bin", "trelltool"))
        env = {"PATH": self.path("bin") + ":" + os.environ["PATH"]}
        r = self.run_pkg(["-v"], pkg="trelltool", env=env, cwd="/")
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(["-v"], tool_args(r.stdout))


class PathStart(E2ETest):
    """Started by a name without "/", found through PATH: the launcher reads
    its own file, never a file of that name in the current folder."""

    def setUp(self):
        super().setUp()
        os.mkdir(self.path("bin"))
        os.rename(self.pkg, self.path("bin", "trelltool"))
        planted = TOOL.replace("exit ${TOOL_EXIT:-0}", "echo PLANTED; exit 0")
        build_package(self.path("trelltool"), make_zip(self.path("planted.zip"),
                                                       {"tool": planted}))

    def assertRanThePackage(self, r):
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(["-v"], tool_args(r.stdout))
        self.assertNotIn("PLANTED", r.stdout)

    def test_a_planted_file_in_the_current_folder_is_not_run(self):
        env = {"PATH": self.path("bin") + ":" + os.environ["PATH"]}
        r = self.run_pkg(["-v"], pkg="trelltool", env=env, cwd=self.dir)
        self.assertRanThePackage(r)

    def test_without_proc_the_path_search_finds_the_package(self):
        if SANITIZED:
            self.skipTest("the sanitizers' run-time itself needs /proc")
        # Before the package: a folder of that name, a file nobody may run, a
        # missing folder; an empty entry is the current folder, as for the
        # shell, which found the same file.
        os.makedirs(self.path("a", "trelltool"))
        os.mkdir(self.path("b"))
        with open(self.path("b", "trelltool"), "w") as f:
            f.write("#!/bin/sh\necho PLANTED\n")
        os.chmod(self.path("b", "trelltool"), 0o644)
        system = "/usr/bin:/bin"
        search = ":".join([self.path("a"), self.path("b"), "/nonexistent", self.path("bin"),
                           system])
        for path, cwd in ((search, "/"), (search, self.dir),
                          ("/nonexistent::" + system, self.path("bin")),
                          (system + ":", self.path("bin"))):
            with self.subTest(path=path, cwd=cwd):
                argv = self.isolated(["trelltool", "-v"], setup="mount -t tmpfs none /proc")
                e = dict(self.env, PATH=path)
                r = subprocess.run(argv, env=e, cwd=cwd, capture_output=True, text=True,
                                   timeout=60)
                self.assertRanThePackage(r)
                self.assertNoWorkDir()


class OwnFileNotFound(E2ETest):
    def test_no_name_and_no_proc(self):
        # Neither argv[0] nor /proc/self/exe leads to the launcher's file.
        if SANITIZED:
            self.skipTest("the sanitizers' run-time itself needs /proc")
        start = ("import os, sys; os.execv(sys.argv[1], ['trell-no-such-name', '-v'])")
        r = self.run_pkg(["/usr/bin/python3", "-c", start, self.pkg][1:], pkg="/usr/bin/python3",
                         isolated=True, setup="mount -t tmpfs none /proc")
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed opening file trell-no-such-name\n", r.stderr)
        self.assertNoWorkDir()


class ErrorShell(E2ETest):
    def test_shell_runs_in_work_directory_before_cleanup(self):
        r = self.run_pkg(["-v"], env={"TOOL_EXIT": "3", "ZORVAN_PORTABLE_ERR_SH": ""},
                         input='echo "shell in $(pwd)"; ls; echo "lang=$ZoveziZurArivid"\n')
        self.assertEqual(3, r.returncode, r.stderr)
        cwd = tool_value(r.stdout, "cwd")
        self.assertIn("shell in " + cwd, r.stdout)
        for name in ("image.zip", "miniunz", "tool"):
            self.assertIn("\n" + name + "\n", r.stdout)
        self.assertIn("lang=en", r.stdout)
        self.assertFalse(os.path.exists(cwd))

    def test_no_shell_on_success_and_shell_in_start_folder_before_package(self):
        r = self.run_pkg(["-v"], env={"ZORVAN_PORTABLE_ERR_SH": "1"}, input="echo SHELL_RAN\n")
        self.assertEqual(0, r.returncode)
        self.assertNotIn("SHELL_RAN", r.stdout)
        short = self.path("short")
        with open(short, "wb") as f:
            f.write(b"x")
        r = self.run_pkg(["-v"], argv0=short, env={"ZORVAN_PORTABLE_ERR_SH": "1"},
                         input='echo "shell in $(pwd)"\n')
        self.assertEqual(1, r.returncode)
        self.assertIn("shell in " + self.dir, r.stdout)


if __name__ == "__main__":
    unittest.main()
