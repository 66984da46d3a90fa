#!/usr/bin/python
# -*- coding: utf-8 -*-
# Writes the summary of a fleet run on the controller.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: fleet_summary
short_description: Write the summary of a run of a trell package on many hosts
description:
  - Runs on the controller, once, after M(trell.portable.run_package) has run
    on every host of the batch (see the role M(trell.portable.run)).
  - Decides each host's status, writes C(summary.json) in the results folder
    (entries of hosts of earlier batches are kept), and returns a table of
    the same.
version_added: "1.0.0"
author: Trell developers
options:
  results_dir:
    description: The results folder on the controller.
    type: path
    required: true
  results:
    description:
      - Each host of the batch, in order, with the registered result of its
        M(trell.portable.run_package) task (null for a host without one).
    type: dict
    required: true
"""

EXAMPLES = r"""
- name: Write the summary
  trell.portable.fleet_summary:
    results_dir: /srv/results/20260101-120000
    results: "{{ dict(ansible_play_batch | zip(ansible_play_batch | map('extract', hostvars, 'trell_run'))) }}"
  delegate_to: localhost
  run_once: true
"""

RETURN = r"""
summary:
  description: The path of summary.json.
  type: str
  returned: always
statuses:
  description: Each host's status (ok, failed, timeout or unreachable).
  type: dict
  returned: always
table:
  description: The lines of the table of all hosts in summary.json.
  type: list
  elements: str
  returned: always
"""

import json
import os

from ansible.module_utils.basic import AnsibleModule


def status(run):
    if run.get("unreachable"):
        return "unreachable"
    if run.get("failed") or "exit_status" not in run:
        return "failed"
    if run["timed_out"]:
        return "timeout"
    return "ok" if run["exit_status"] == 0 else "failed"


def entry(host, run):
    run = run or {"unreachable": True, "msg": "no result"}
    ended = status(run)
    return dict(host=host, status=ended, exit_status=run.get("exit_status"),
                seconds=run.get("seconds"), runner=run.get("runner"),
                files=run.get("fetched") or [], unmatched=run.get("unmatched") or [],
                notes=run.get("notes") or [],
                message=run.get("msg") if ended in ("failed", "unreachable") else None)


def size_text(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return ("%d %s" % (n, unit)) if unit == "B" else ("%.1f %s" % (n, unit))
        n /= 1024.0
    return ""


def table(entries):
    rows = [("HOST", "STATUS", "EXIT", "SECONDS", "FILES")]
    notes = []
    for e in entries:
        total = sum(f["size"] for f in e["files"])
        rows.append((e["host"], e["status"],
                     "-" if e["exit_status"] is None else str(e["exit_status"]),
                     "-" if e["seconds"] is None else "%.1f" % e["seconds"],
                     "%d (%s)" % (len(e["files"]), size_text(total))))
        if e["message"]:
            notes.append("%s: %s" % (e["host"], e["message"]))
        notes += ["%s: nothing matched %s" % (e["host"], p) for p in e["unmatched"]]
        notes += ["%s: %s" % (e["host"], n) for n in e["notes"]]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                       for i, (c, w) in enumerate(zip(r, widths))).rstrip() for r in rows]
    return lines + notes


def main():
    module = AnsibleModule(argument_spec=dict(
        results_dir=dict(type="path", required=True),
        results=dict(type="dict", required=True),
    ))
    results_dir = module.params["results_dir"]
    new = [entry(host, run) for host, run in module.params["results"].items()]
    path = os.path.join(results_dir, "summary.json")
    # Earlier batches (serial) of the same play keep their entries.
    entries = []
    if os.path.isfile(path):
        with open(path) as f:
            entries = [e for e in json.load(f) if e["host"] not in module.params["results"]]
    entries += new
    if not os.path.isdir(results_dir):
        os.makedirs(results_dir)
    with open(path + ".new", "w") as f:
        json.dump(entries, f, indent=2)
        f.write("\n")
    os.rename(path + ".new", path)
    module.exit_json(changed=True, summary=path, table=table(entries),
                     statuses=dict((e["host"], e["status"]) for e in new))


if __name__ == "__main__":
    main()
