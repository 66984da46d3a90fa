"""The work directory's name: /tmp/portable_install_ and the process id in
eight hex digits, counted up past every taken name; made exclusively."""
import os
import unittest

from e2e_util import E2ETest, tool_value


class WorkDirectoryName(E2ETest):
    def test_name_search_as_process_one(self):
        # In a new pid namespace the launcher is process 1.
        r = self.run_pkg(["-v"], pid1=True)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("/tmp/portable_install_00000001", tool_value(r.stdout, "cwd"))

        os.mkdir(os.path.join(self.tmp, "portable_install_00000001"))
        with open(os.path.join(self.tmp, "portable_install_00000002"), "w") as f:
            f.write("someone's file")
        os.symlink("/var/tmp/nowhere-trell", os.path.join(self.tmp, "portable_install_00000003"))
        r = self.run_pkg(["-v"], pid1=True)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual("/tmp/portable_install_00000004", tool_value(r.stdout, "cwd"))
        # Taken names are left as they were; this run's own is gone.
        self.assertEqual(["portable_install_00000001", "portable_install_00000002",
                          "portable_install_00000003"], self.work_dirs())
        with open(os.path.join(self.tmp, "portable_install_00000002")) as f:
            self.assertEqual("someone's file", f.read())
        self.assertFalse(os.path.exists("/var/tmp/nowhere-trell"))


if __name__ == "__main__":
    unittest.main()
