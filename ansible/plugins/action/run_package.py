# -*- coding: utf-8 -*-
# The controller's side of trell.portable.run_package: the package into a
# private folder of the remote user, the run (the module), the output and
# results home, the folder gone.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os

from ansible.errors import AnsibleConnectionFailure, AnsibleError
from ansible.plugins.action import ActionBase
from ansible_collections.trell.portable.plugins.module_utils.digest import file_sha256

# Files fetched land under this name first, and under their own once their
# digest is the one the host computed.
PARTIAL = ".trell-partial"


class ActionModule(ActionBase):
    # The private folder is made below, where a lost connection is noted.
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("package", "results_dir", "args", "environment", "timeout",
                             "grace", "runner", "collect"))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        args = dict(self._task.args)
        package = os.path.expanduser(args.pop("package"))
        host_dir = os.path.join(os.path.expanduser(args.pop("results_dir")),
                                task_vars["inventory_hostname"])
        private, stage = None, "connecting"
        try:
            # Ansible's own temporary folder: the remote user's, 0700.
            private = self._make_tmp_path()
            stage = "copying the package"
            folder = self._connection._shell.join_path(private, "run")
            remote = self._connection._shell.join_path(folder, os.path.basename(package))
            self._command("mkdir -m 700 %s" % self._connection._shell.quote(folder), folder)
            self._transfer_file(package, remote)
            self._remote_chmod([remote], "u+x")
            stage = "running"
            run = self._execute_module(module_name="trell.portable.run_package",
                                       module_args=dict(args, package=remote),
                                       task_vars=task_vars)
            result.update(run)
            if "exit_status" in run:
                stage = "fetching the results"
                result["fetched"] = self._bring_home(run, host_dir)
        except AnsibleConnectionFailure as e:
            result.update(unreachable=True, msg="%s: %s" % (stage, e))
        except (AnsibleError, IOError, OSError, ValueError) as e:
            result.update(failed=True, msg="%s: %s" % (stage, e))
        finally:
            self._remove(private, result)
        return result

    def _command(self, cmd, what, sudoable=False):
        res = self._low_level_execute_command(cmd, sudoable=sudoable)
        if res["rc"] != 0:
            raise OSError("%s: %s" % (what, (res["stderr"] or res["stdout"]).strip()))

    def _bring_home(self, run, host_dir):
        """Fetches the run's output and results (as the remote user, through
        the connection's file transfer: nothing held in memory), checks each
        against the digest the host computed, writes the exit status."""
        if not os.path.isdir(host_dir):
            os.makedirs(host_dir)
        fetched = []
        for item in run["output"] + run["files"]:
            local = os.path.normpath(os.path.join(host_dir, item["dest"]))
            if not local.startswith(host_dir + os.sep):
                raise ValueError("%s would land outside %s" % (item["dest"], host_dir))
            if not os.path.isdir(os.path.dirname(local)):
                os.makedirs(os.path.dirname(local))
            partial = os.path.join(os.path.dirname(local), PARTIAL)
            try:
                self._connection.fetch_file(item["src"], partial)
                if file_sha256(partial) != item["sha256"]:
                    raise ValueError("%s changed on its way from %s" % (item["dest"], item["src"]))
                os.rename(partial, local)
            finally:
                if os.path.exists(partial):
                    os.unlink(partial)
            if item["path"]:
                fetched.append(dict(path=item["path"],
                                    fetched=os.path.relpath(local, os.path.dirname(host_dir)),
                                    size=item["size"], sha256=item["sha256"]))
        with open(os.path.join(host_dir, "status"), "w") as f:
            f.write("%d\n" % run["exit_status"])
        return fetched

    def _remove(self, private, result):
        """Removes the private folder, with become when the run had it (the
        run's files may be another user's)."""
        self._connection._shell.tmpdir = None
        if not private:
            return
        try:
            self._command(self._connection._shell.remove(private, recurse=True),
                          "removing " + private, sudoable=True)
        except (AnsibleError, OSError) as e:
            # Out of reach, the host is left to the run, which removes the
            # folder itself when it loses its connection.
            if not result.get("unreachable"):
                result.update(failed=True, msg="%s (nothing of the run may stay)" % e)
