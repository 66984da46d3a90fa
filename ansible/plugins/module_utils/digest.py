# -*- coding: utf-8 -*-
# The SHA-256 of a file, read in blocks: the host's side of
# trell.portable.run_package computes it, the controller's side checks it.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import hashlib


def file_sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()
