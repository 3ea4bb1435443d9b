"""Shared helpers: fresh interpreters, throw-away packages, leak checks, traceback reading."""

import gc
import os
import subprocess
import sys
import textwrap
import traceback

import pytest

from quorlin import version_manager as vm_mod

VM = vm_mod.VersionManager
FILE = "src/quorlin/version_manager"


def run_python(code, *, env=None, check=True):
    """Run `code` in a fresh interpreter; return the CompletedProcess (stdout/stderr as text)."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=60,
    )
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


# A fresh interpreter's preamble: package `lp` with its version v1 imported, and `vm` for it.
LOADED = """
import importlib, os, sys, tempfile
from datetime import datetime
root = tempfile.mkdtemp()
os.mkdir(os.path.join(root, "lp"))
for f in ("__init__.py", "v1.py"):
    open(os.path.join(root, "lp", f), "w").close()
sys.path.insert(0, root)
importlib.import_module("lp.v1")
import quorlin.version_manager as m
vm = m.VersionManager("lp", [("v1", datetime(2020, 1, 1))])
"""


def tb_entries(exc):
    """(function name, line) of every traceback entry of `exc` that this module added."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == FILE]


def assert_no_leak(fn, *, repeat=2000, slack=20):
    """Call `fn` (which may raise) many times after a warm-up; allocated blocks must not grow.

    A leak costs at least one block per call; caches filling up cost a few blocks once, so the
    bound grows with the repeat count and a growth must repeat in three rounds.
    """
    bound = max(slack, repeat // 5)

    def loop(n):
        for _ in range(n):
            try:
                fn()
            except Exception:
                pass

    loop(100)
    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        loop(repeat)
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
        if growth[-1] < bound:
            return
    raise AssertionError(f"blocks grew by {growth} over rounds of {repeat} calls of {fn!r}")


@pytest.fixture
def make_package(tmp_path, monkeypatch):
    """Write a package from {relative path: source} under a temporary directory on sys.path.

    Returns the package name; modules the test imported from it are dropped afterwards.
    """
    monkeypatch.syspath_prepend(str(tmp_path))
    made = []

    def make(name, files):
        for rel, src in files.items():
            path = tmp_path / name / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(src))
        made.append(name)
        return name

    yield make
    for key in [k for k in sys.modules if k.split(".")[0] in made]:
        del sys.modules[key]


@pytest.fixture
def clock(monkeypatch):
    """Fix the module's clock: clock(value) makes `datetime.now()` return `value`."""
    import datetime as real

    def set_clock(value):
        class Frozen(real.datetime):
            @classmethod
            def now(cls, tz=None):
                return value

        monkeypatch.setattr(vm_mod, "datetime", Frozen)

    return set_clock
