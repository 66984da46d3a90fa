#!/usr/bin/python
# -*- coding: utf-8 -*-
# Runs a trell package on the host it is sent to (Python 3 on the host).
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: run_package
short_description: Run a trell package on a host under a time-out and bring its results home
description:
  - Copies the package from the controller into a private folder of the
    remote user (Ansible's own temporary folder, 0700), runs it there with its
    arguments as an argument vector (no shell) and the environment given,
    its standard output and standard error kept apart, fetches them and the
    result files to the controller, and removes the folder.
  - At the time-out the run's process group (the launcher, its shell, the
    tool) gets SIGTERM, so that the launcher removes its work directory; the
    tool gets SIGKILL only after the grace period, and the launcher after it
    only if it does not end then.
  - When the connection that started the run ends (a hang-up, SIGTERM, a
    parent process that is gone), the run is stopped the same way and the
    private folder removed on the host.
  - Files are copied and fetched as the remote user, in fixed memory; with
    C(become) only the run itself (and the removal) is privileged.
  - A non-zero exit status of the run is no failure of the task; see
    RV(exit_status). Used by the role M(trell.portable.run).
version_added: "1.0.0"
author: Trell developers
options:
  package:
    description: The package on the controller.
    type: path
    required: true
  results_dir:
    description:
      - The results folder on the controller. The host's files go to the
        folder named after its inventory name in it, the run's output to
        C(stdout.txt) and C(stderr.txt), its exit status to C(status).
    type: path
    required: true
  args:
    description: The tool's arguments, each handed over as one argument.
    type: list
    elements: str
    default: []
  environment:
    description: Variables added to the run's environment.
    type: dict
    default: {}
  timeout:
    description: Seconds the run may take.
    type: float
    default: 3600
  grace:
    description: Seconds between SIGTERM and SIGKILL at the time-out.
    type: float
    default: 30
  runner:
    description:
      - The installed runner, C(trell-run), that runs the package instead of
        its own launcher. A bare name is looked up on the host's PATH and the
        package runs directly when it is not there; a path must be an
        executable on the host; empty runs the package directly.
    type: str
    default: trell-run
  collect:
    description:
      - Paths or globs (C(**) included) of result files on the host.
        Relative ones are taken in the folder where the run starts, the
        package's folder. A folder stands for the files below it; links are
        never followed. Files the run wrote are moved away, older ones
        copied and left.
    type: list
    elements: str
    default: []
"""

EXAMPLES = r"""
- name: Run the package
  trell.portable.run_package:
    package: diag.pkg
    results_dir: /srv/results/diag
    args: [--full]
    collect: [/var/tmp/diag-*.tar.gz]
    timeout: 600
"""

RETURN = r"""
exit_status:
  description: The run's exit status (128 + N when ended by signal N).
  type: int
  returned: when the run ended
timed_out:
  description: Whether the time-out ended the run.
  type: bool
  returned: when the run ended
seconds:
  description: The run's wall time.
  type: float
  returned: when the run ended
runner:
  description: The runner used, or null when the package ran directly.
  type: str
  returned: when the run ended
fetched:
  description: >-
    The result files on the controller: C(path) on the host, C(fetched) below
    the results folder, C(size), C(sha256).
  type: list
  elements: dict
  returned: when the run ended
unmatched:
  description: The patterns of I(collect) that matched no file.
  type: list
  elements: str
  returned: when the run ended
notes:
  description: Results that could not be collected or removed, and why.
  type: list
  elements: str
  returned: when the run ended
"""

import glob
import os
import shutil
import signal
import subprocess
import sys
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.trell.portable.plugins.module_utils.digest import file_sha256

# Beside the package's folder, in the private folder: the output and the
# results set aside, for the controller to fetch.
OWN = "output"
# Names that the run's own files take in the host's results folder.
RESERVED = ("stdout.txt", "stderr.txt", "status")
POLL = 0.1
# How long the launcher may take to clean up once its tool was killed.
CLEANUP = 10


class ConnectionLost(Exception):
    pass


def proc_fields(pid):
    """The fields of /proc/PID/stat after the command name (state, ppid,
    pgrp, ...), or None once the process is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            data = f.read()
    except (IOError, OSError):
        return None
    return data[data.rindex(")") + 2:].split()


def start_time(pid):
    fields = proc_fields(pid)
    return fields[19] if fields else None


def command_name(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except (IOError, OSError):
        return ""


class Watch(object):
    """Notices that the connection which started the module is gone: a
    signal (the hang-up of its terminal, SIGTERM, SIGINT, SIGPIPE), or,
    without a terminal, a process above this one that is no more, up to the
    sshd process of the connection (a restarted sshd listener above it ends
    no connection)."""

    def __init__(self):
        self.signalled = False
        for number in (signal.SIGHUP, signal.SIGTERM, signal.SIGINT, signal.SIGPIPE):
            signal.signal(number, self.note)
        self.ancestors = []
        pid = os.getppid()
        while pid > 1:
            fields = proc_fields(pid)
            if not fields:
                break
            self.ancestors.append((pid, fields[19]))
            if command_name(pid).startswith("sshd"):
                break
            pid = int(fields[1])

    def note(self, number, frame):
        self.signalled = True

    def lost(self):
        return self.signalled or any(start_time(pid) != started for pid, started in self.ancestors)


def group_members(pgid):
    """The living processes of the process group."""
    members = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = proc_fields(int(name))
            if fields and fields[0] != "Z" and int(fields[2]) == pgid:
                members.append(int(name))
    return members


def ended(proc):
    """Whether the launcher and every process of its group have ended."""
    return proc.poll() is not None and not group_members(proc.pid)


def wait(proc, seconds):
    end = time.monotonic() + seconds
    while not ended(proc) and time.monotonic() < end:
        time.sleep(POLL)
    return ended(proc)


def signal_quietly(pid, number, group=False):
    try:
        (os.killpg if group else os.kill)(pid, number)
    except OSError:
        pass


def stop(proc, grace):
    """Ends what is left of a run: SIGTERM for the whole group (the
    launcher, its shell, the tool: the launcher alone would only note it
    while its tool runs), and once the grace period is over SIGKILL for
    every process of it but the launcher, which can then still remove its
    work directory; the launcher too only if it does not end then."""
    signal_quietly(proc.pid, signal.SIGTERM, group=True)
    if wait(proc, grace):
        return
    end = time.monotonic() + CLEANUP
    while not ended(proc) and time.monotonic() < end:
        for pid in group_members(proc.pid):
            if pid != proc.pid:
                signal_quietly(pid, signal.SIGKILL)
        time.sleep(POLL)
    if not ended(proc):
        signal_quietly(proc.pid, signal.SIGKILL, group=True)
        proc.wait()


def run(argv, env, folder, own, timeout, grace, watch):
    """Runs argv in folder; returns (exit status, timed out, seconds)."""
    with open(os.path.join(own, "stdout"), "wb") as out, \
            open(os.path.join(own, "stderr"), "wb") as err, \
            open(os.devnull, "rb") as null:
        begun = time.monotonic()
        proc = subprocess.Popen(argv, cwd=folder, env=env, stdin=null, stdout=out, stderr=err,
                                start_new_session=True, close_fds=True)
    timed_out = False
    while proc.poll() is None:
        if watch.lost():
            stop(proc, grace)
            raise ConnectionLost()
        if time.monotonic() - begun >= timeout:
            timed_out = True
            break
        time.sleep(POLL)
    # At the time-out, or when the launcher left processes of the run.
    if not ended(proc):
        stop(proc, grace)
    status = proc.returncode
    return (128 - status if status < 0 else status), timed_out, time.monotonic() - begun


def files_at(path):
    """The regular files at path: itself, or those below a folder (links
    are never followed)."""
    if os.path.islink(path):
        return []
    if not os.path.isdir(path):
        return [path] if os.path.isfile(path) else []
    found = []
    for top, dirs, names in os.walk(path):
        dirs.sort()
        for name in sorted(names):
            candidate = os.path.join(top, name)
            if not os.path.islink(candidate) and os.path.isfile(candidate):
                found.append(candidate)
    return found


def matches(patterns, folder, skip):
    """{pattern: [absolute file paths]}, without the paths below skip."""
    found = {}
    for pattern in patterns:
        where = os.path.expanduser(pattern)
        if not os.path.isabs(where):
            where = os.path.join(folder, where)
        paths = []
        for match in sorted(glob.glob(where, recursive=True)):
            for path in files_at(os.path.normpath(match)):
                if not any(path == s or path.startswith(s + os.sep) for s in skip):
                    paths.append(path)
        found[pattern] = paths
    return found


def identity(path):
    st = os.lstat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def run_wrote(path, before):
    """Whether the run made or changed the file (before: the identities of
    the matches before the run)."""
    return before.get(path) != identity(path)


def destination(path, folder):
    """The name below the host's results folder: the path in the package's
    folder, else the path on the host without its leading slash."""
    inside = os.path.relpath(path, folder)
    if inside != os.pardir and not inside.startswith(os.pardir + os.sep):
        return inside
    return path.lstrip("/")


def handed_over(src, dest, owner, path=None):
    """What the controller fetches: src, given to the private folder's
    owner, as dest below the host's results folder."""
    if os.geteuid() == 0:
        os.chown(src, owner[0], owner[1])
    os.chmod(src, 0o600)
    return dict(src=src, dest=dest, path=path, size=os.path.getsize(src), sha256=file_sha256(src))


def set_aside(found, before, folder, own, owner):
    """Moves each file the run wrote into own (copies it across file
    systems, then removes it) and copies the older ones.  Returns (files,
    notes)."""
    files, notes, seen = [], [], set()
    for path in [p for paths in found.values() for p in paths]:
        dest = destination(path, folder)
        if path in seen:
            continue
        seen.add(path)
        if dest in RESERVED:
            notes.append("%s not collected: the name of the run's own %s" % (path, dest))
            continue
        src = os.path.join(own, "result-%d" % len(files))
        written = run_wrote(path, before)
        try:
            moved = False
            if written:
                try:
                    os.rename(path, src)
                    moved = True
                except OSError:
                    pass
            if not moved:
                shutil.copyfile(path, src)
                if written:
                    os.unlink(path)
        except (IOError, OSError) as e:
            notes.append("%s: %s" % (path, e.strerror or e))
            if not os.path.exists(src):
                continue
        files.append(handed_over(src, dest, owner, path))
    return files, notes


def runner_argv(module, runner):
    if not runner:
        return []
    if "/" not in runner:
        found = shutil.which(runner)
        return [found] if found else []
    if not (os.path.isfile(runner) and os.access(runner, os.X_OK)):
        module.fail_json(msg="trell_runner %s is not an executable on this host" % runner)
    return [runner]


def main():
    module = AnsibleModule(argument_spec=dict(
        package=dict(type="path", required=True),
        args=dict(type="list", elements="str", default=[]),
        environment=dict(type="dict", default={}),
        timeout=dict(type="float", default=3600),
        grace=dict(type="float", default=30),
        runner=dict(type="str", default="trell-run"),
        collect=dict(type="list", elements="str", default=[]),
    ))
    p = module.params
    watch = Watch()
    # The package is alone in its folder, inside the private folder.
    package = os.path.abspath(p["package"])
    folder = os.path.dirname(package)
    private = os.path.dirname(folder)
    own = os.path.join(private, OWN)
    st = os.stat(private)
    owner = (st.st_uid, st.st_gid)
    runner = runner_argv(module, p["runner"])
    env = dict(os.environ)
    env.update((str(k), str(v)) for k, v in p["environment"].items())
    before = {}
    for paths in matches(p["collect"], folder, [package]).values():
        for path in paths:
            before[path] = identity(path)

    os.mkdir(own, 0o700)
    if os.geteuid() == 0:
        os.chown(own, owner[0], owner[1])
    try:
        status, timed_out, seconds = run(runner + [package] + p["args"], env, folder, own,
                                         p["timeout"], p["grace"], watch)
    except ConnectionLost:
        # Nobody will fetch anything: nothing of the run may stay, neither
        # the private folder nor the result files the run wrote.
        for paths in matches(p["collect"], folder, [package]).values():
            for path in filter(lambda path: run_wrote(path, before), paths):
                try:
                    os.unlink(path)
                except OSError:
                    pass
        shutil.rmtree(private, ignore_errors=True)
        sys.exit(1)
    except OSError as e:
        module.fail_json(msg="cannot start %s: %s" % (package, e.strerror or e))
    output = [handed_over(os.path.join(own, name), name + ".txt", owner)
              for name in ("stdout", "stderr")]
    found = matches(p["collect"], folder, [package])
    files, notes = set_aside(found, before, folder, own, owner)
    module.exit_json(changed=True, exit_status=status, timed_out=timed_out,
                     seconds=round(seconds, 3), runner=runner[0] if runner else None,
                     output=output, files=files, notes=notes,
                     unmatched=[pattern for pattern, paths in found.items() if not paths])


if __name__ == "__main__":
    main()
