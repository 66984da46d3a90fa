"""The Ansible collection trell.portable as Ansible's tools take it:
Debian's ansible-lint passes on it, and ansible-galaxy builds it, at the
project's version."""
import json
import os
import shutil
import subprocess
import tarfile
import unittest

from e2e_util import ROOT, E2ETest
from install_util import project_version

SOURCE = os.path.join(ROOT, "ansible")


class Collection(E2ETest):
    def ansible_env(self):
        return dict(os.environ, ANSIBLE_HOME=self.path("ansible-home"),
                    ANSIBLE_LOCAL_TEMP=self.path("ansible-tmp"),
                    ANSIBLE_COLLECTIONS_PATH=self.path("collections"),
                    ANSIBLE_COLLECTIONS_SCAN_SYS_PATH="False")

    def test_lint(self):
        # Where Ansible finds it, so that the playbook's role resolves.
        copy = shutil.copytree(SOURCE, self.path("collections", "ansible_collections", "trell",
                                                 "portable"),
                               ignore=shutil.ignore_patterns("__pycache__"))
        r = subprocess.run(["ansible-lint", "--offline", "--nocolor"], cwd=copy,
                           capture_output=True, text=True, env=self.ansible_env())
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertIn("Passed with production profile", r.stdout + r.stderr)

    def test_build(self):
        r = subprocess.run(["ansible-galaxy", "collection", "build", "--output-path",
                            self.dir, SOURCE], capture_output=True, text=True, env=self.ansible_env())
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        built = self.path("trell-portable-%s.tar.gz" % project_version())
        with tarfile.open(built) as tar:
            names = set(tar.getnames())
            manifest = json.load(tar.extractfile("MANIFEST.json"))["collection_info"]
        self.assertEqual(("trell", "portable", project_version()),
                         (manifest["namespace"], manifest["name"], manifest["version"]))
        for name in ("README.md", "playbooks/run.yml", "roles/run/tasks/main.yml",
                     "roles/run/meta/argument_specs.yml", "plugins/action/run_package.py",
                     "plugins/modules/run_package.py", "plugins/modules/fleet_summary.py",
                     "plugins/module_utils/digest.py",
                     "meta/runtime.yml"):
            self.assertIn(name, names)
        self.assertFalse([n for n in names if "__pycache__" in n])


if __name__ == "__main__":
    unittest.main()
