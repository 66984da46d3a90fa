"""Helpers for the tests of installed trees (cmake --install, the .deb):
the build folder, and a package built by an installed pkgtool with its
default stubs, then run."""
import os
import subprocess

from e2e_util import ROOT, TOOL, tool_args, write_script

BUILD = os.environ.get("TRELL_BUILD_DIR", os.path.join(ROOT, "build"))


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
