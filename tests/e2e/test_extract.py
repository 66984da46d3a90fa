"""--extract FOLDER: unpack only, into a folder named in any way a user may
name it, never running the tool and never running the name as code."""
import os
import unittest

from e2e_util import E2ETest, tool_args


class ExtractOnly(E2ETest):
    def assertExtracted(self, r, folder):
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertTrue(os.path.isfile(os.path.join(folder, "tool")), folder)
        self.assertNotIn("tool:", r.stdout)
        self.assertNotIn("Executing...", r.stdout)
        self.assertIn("Extracting...", r.stdout)

    def test_relative_absolute_and_nested(self):
        r = self.run_pkg(["--extract", "out"], isolated=True)
        self.assertExtracted(r, self.path("out"))
        self.assertNoWorkDir()
        r = self.run_pkg(["--extract", self.path("abs")], cwd="/")
        self.assertExtracted(r, self.path("abs"))
        r = self.run_pkg(["--extract", "a/b/c"])
        self.assertExtracted(r, self.path("a", "b", "c"))
        # An existing folder with content: overwritten, the rest kept.
        with open(self.path("out", "tool"), "w") as f:
            f.write("old")
        with open(self.path("out", "mine"), "w") as f:
            f.write("mine")
        r = self.run_pkg(["--extract", "out"])
        self.assertExtracted(r, self.path("out"))
        with open(self.path("out", "tool")) as f:
            self.assertTrue(f.read().startswith("#!/bin/sh"))
        self.assertTrue(os.path.exists(self.path("out", "mine")))

    def test_started_in_root_directory(self):
        rel = os.path.relpath(self.path("fromroot"), "/")
        r = self.run_pkg(["--extract", rel], cwd="/")
        self.assertExtracted(r, self.path("fromroot"))

    def test_names_are_never_code(self):
        names = ["a b", "$(touch PWNED1)", "x;touch PWNED2", 'q"uote', "`touch PWNED3`",
                 "-rf", "back\\slash", "it's", "new\nline", "$HOME", "*"]
        for name in names:
            with self.subTest(name=name):
                r = self.run_pkg(["--extract", name])
                self.assertExtracted(r, self.path(name))
                r = self.run_pkg(["--extract", self.path("abs-" + name)])
                self.assertExtracted(r, self.path("abs-" + name))
        self.assertEqual([], [n for n in os.listdir(self.dir) if n.startswith("PWNED")])
        self.assertFalse(os.path.exists("PWNED1"))

    def test_onto_a_plain_file(self):
        with open(self.path("plain"), "w") as f:
            f.write("x")
        r = self.run_pkg(["--extract", "plain"], isolated=True,
                         env={"ZORVAN_PORTABLE_ERR_SH": ""})
        self.assertEqual(255, r.returncode)
        self.assertEqual("Failed to create directory: plain\n"
                         "Please check if you specify a correct path to extract.\n", r.stdout)
        self.assertNoWorkDir()
        with open(self.path("plain")) as f:
            self.assertEqual("x", f.read())

    def assertRefusedAsTooLong(self, r, folder, length):
        self.assertEqual(1, r.returncode, r.stdout)
        self.assertEqual("Failed naming the extract folder %s: its absolute path has %d "
                         "characters, each $ ` \" \\ counted twice; at most 259 fit\n"
                         % (folder, length), r.stderr)
        self.assertEqual("", r.stdout)
        self.assertNoWorkDir()

    def test_folder_bound(self):
        # The folder's absolute path stands quoted in the unzip command: at
        # most 259 characters between the quotes, $ ` " \ escaped.
        for length in (258, 259, 260, 261, 600):
            with self.subTest(length=length):
                folder = self.path("f" * (length - len(self.dir) - 1))
                self.assertEqual(length, len(folder))
                r = self.run_pkg(["--extract", folder], isolated=True)
                if length <= 259:
                    self.assertExtracted(r, folder)
                else:
                    self.assertRefusedAsTooLong(r, folder, length)
                    self.assertFalse(os.path.exists(folder))
        # Nothing is created on a refusal, a missing parent neither.
        nested = os.path.join("p", "q" * 300)
        r = self.run_pkg(["--extract", nested], isolated=True)
        self.assertRefusedAsTooLong(r, nested, len(self.dir) + 1 + len(nested))
        self.assertFalse(os.path.exists(self.path("p")))

    def test_folder_bound_counts_escaped_characters_twice(self):
        room = 259 - len(self.dir) - 1
        for name, escaped in (("$" * 100 + "x" * (room - 200), room),
                              ("$" * 100 + "x" * (room - 199), room + 1),
                              ('`"\\$' * 25 + "x" * (room - 200), room),
                              ('`"\\$' * 25 + "x" * (room - 199), room + 1)):
            with self.subTest(name=name, escaped=escaped):
                r = self.run_pkg(["--extract", name], isolated=True)
                if escaped <= room:
                    self.assertExtracted(r, self.path(name))
                else:
                    self.assertRefusedAsTooLong(r, name, len(self.dir) + 1 + escaped)
                    self.assertFalse(os.path.exists(self.path(name)))

    def test_current_directory_unknown(self):
        gone = self.path("gone")
        os.mkdir(gone)
        r = self.run_pkg(["--extract", "out"], cwd=gone, isolated=True,
                         setup='cd "%s" && rmdir "%s"' % (gone, gone))
        self.assertEqual(1, r.returncode)
        self.assertEqual("Failed naming the extract folder out: the current directory is "
                         "unknown\n", r.stderr)
        self.assertNoWorkDir()
        self.assertFalse(os.path.exists(self.path("out")))

    def test_look_alike_argument_lists_run_the_tool(self):
        for args in (["--extract"], ["--extract", "a", "b"], ["--extract=out"],
                     ["--extractx", "out"], ["x", "--extract", "out"]):
            with self.subTest(args=args):
                r = self.run_pkg(args)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual(args, tool_args(r.stdout))
        self.assertFalse(os.path.exists(self.path("out")))


if __name__ == "__main__":
    unittest.main()
