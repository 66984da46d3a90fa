"""Helpers for the tests of installed trees (cmake --install, the .deb):
the build folder, and a package built by an installed pkgtool with its
default stubs, then run."""
import os
import subprocess

from e2e_util import ROOT, TOOL, tool_args, write_script

BUILD = os.environ.get("TRELL_BUILD_DIR", os.path.join(ROOT, "build"))
# Where Ansible finds collections, below an installation's prefix.
COLLECTIONS = os.path.join("share", "ansible", "collections")


def project_version():
    """The version set in CMake, read from the build folder's cache."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.strip().split("=", 1)[1]
    raise AssertionError("no CMAKE_PROJECT_VERSION in the build folder's cache")


def install_tree(prefix):
    """cmake --install of the build folder into prefix."""
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                   capture_output=True, text=True)
    return prefix


def build_and_run(test, pkgtool, folder, args=("alpha", "--version")):
    """Builds a package of the test tool with pkgtool and no --stub or
    --unzip, runs it with args and checks that the tool got them.  Returns
    the package's path."""
    image = os.path.join(folder, "image")
    os.makedirs(image, exist_ok=True)
    write_script(os.path.join(image, "tool"), TOOL)
    pkg = os.path.join(folder, "tool.pkg")
    r = subprocess.run([pkgtool, "build", "-o", pkg,
                        "--record", "redhat", "5", "x86-64", "1", "./tool", "first",
                        "--image", image], capture_output=True, text=True)
    test.assertEqual(0, r.returncode, r.stderr)
    env = dict(os.environ, TRELL_PORTABLE_INTERACTIVE="")
    r = subprocess.run([pkg, *args], capture_output=True, text=True, env=env, cwd=folder,
                       timeout=60)
    test.assertEqual(0, r.returncode, r.stdout + r.stderr)
    test.assertEqual(["first", *args], tool_args(r.stdout))
    return pkg


def check_collection(test, collections, scratch):
    """The collection trell.portable below collections: each file as in the
    checkout, and its role's and modules' documentation as ansible-doc reads
    it from there (scratch takes Ansible's own files)."""
    source = os.path.join(ROOT, "ansible")
    installed = os.path.join(collections, "ansible_collections", "trell", "portable")
    for top, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in files:
            path = os.path.join(top, name)
            with open(path, "rb") as a, open(os.path.join(installed, os.path.relpath(path, source)),
                                             "rb") as b:
                test.assertEqual(a.read(), b.read(), path)
    env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=collections, ANSIBLE_HOME=scratch,
               ANSIBLE_LOCAL_TEMP=scratch, ANSIBLE_COLLECTIONS_SCAN_SYS_PATH="False")
    for args, says in ((["-t", "role", "trell.portable.run"], "trell_package"),
                       (["trell.portable.run_package"], "= results_dir"),
                       (["trell.portable.fleet_summary"], "- statuses")):
        r = subprocess.run(["ansible-doc", *args], capture_output=True, text=True, env=env)
        test.assertEqual(0, r.returncode, r.stderr)
        test.assertIn(says, r.stdout)
        test.assertIn(installed, r.stdout)
