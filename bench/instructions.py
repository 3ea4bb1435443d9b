"""Instruction counts per operation, under valgrind's callgrind (repeatable on a shared machine).

Run from the repository root with the project's interpreter:

    .venv/bin/python bench/instructions.py             # every operation, its floor beside it
    .venv/bin/python bench/instructions.py current last --layouts 1

Each figure is per call: the operation runs N1 and N2 times in two processes under callgrind and
the difference of the two totals is divided by N2 - N1, which cancels start-up and set-up. Where a
process's memory layout moves the count (the script's path and the working directory do), each
figure is the least over a few layouts; floors are counted the same way in the same run.

Floors are the calls that no implementation can skip, made from Python code with everything a
caller could precompute precomputed:

    current, vm()      dt.now(); imp(name="<package>.<version>")
    last, get_module   imp(name="<package>.<version>")

quorlin.at and name_at are set against vm.current with the module's clock frozen at the same
moment (a stand-in datetime whose now() is a C function), counted the same way.

Two cases are counted. "import skipped": the module global import_module is the standard
function, so a version already loaded is returned without the call. "import made": the global is
rebound to a Python function that calls the standard one, so the call is made, and the floors call
that same function. --case picks one.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

N1, N2 = 2_000, 12_000

# Child side: `instructions.py --child OP N [--wrapped]` runs OP N times and exits.
CHILD_SETUP = r'''
import importlib, os, sys, tempfile
from datetime import date, datetime, timedelta
from importlib import import_module

root = tempfile.mkdtemp(prefix="quorlin-instr-")
pkg = os.path.join(root, "qpkg")
os.mkdir(pkg)
open(os.path.join(pkg, "__init__.py"), "w").close()
names = [f"v{i:02d}" for i in range(10)]
today = date.today()
dates = {n: today + timedelta(days=(2 * i - 9) * 60) for i, n in enumerate(names)}
for n in names:
    open(os.path.join(pkg, n + ".py"), "w").close()
sys.path.insert(0, root)
for n in names:
    import_module("qpkg." + n)

import quorlin.version_manager as qvm
from quorlin.version_manager import VersionManager

imp = import_module
if WRAPPED:
    def imp(name, package=None):
        return import_module(name, package)
    qvm.import_module = imp
dt = datetime
vm = VersionManager("qpkg", dates)
import itertools, quorlin
moment = datetime.combine(today, datetime.min.time())
Frozen = type("Frozen", (datetime,), {"now": itertools.repeat(moment).__next__})
at, name_at = quorlin.at, quorlin.name_at
pairs = [(f"p{i:04d}", datetime(2000 + i % 30, 1 + i % 12, 1 + i % 28, i % 24) if i % 2 else
          date(2000 + i % 30, 1 + i % 12, 1 + i % 28)) for i in range(1000)]
'''

CHILD_OPS = {
    "floor_now_import": 'dt.now(); imp(name="qpkg.v04")',
    "floor_import": 'imp(name="qpkg.v09")',
    "current": "vm.current",
    "call": "vm()",
    "last": "vm.last",
    "get_module": 'VersionManager.get_module(module="qpkg", version="v04", current="#")',
    "init_dict10": 'VersionManager("qpkg", dates)',
    "set_versions": "vm.versions = dates",
    "init_pairs1000": 'VersionManager("qpkg", pairs)',
    "current_frozen": "vm.current",
    "at": "at(vm, moment)",
    "at_date": "at(vm, today)",
    "name_at": "name_at(vm, moment)",
}
PREP = {"current_frozen": "qvm.datetime = Frozen\n"}  # run once before the loop

HEAVY = {"init_pairs1000"}  # run a hundredth as often

# (operation, its floor or None)
OPERATIONS = [
    ("current", "floor_now_import"),
    ("call", "floor_now_import"),
    ("last", "floor_import"),
    ("get_module", "floor_import"),
    ("init_dict10", None),
    ("set_versions", None),
    ("init_pairs1000", None),
    ("current_frozen", None),
    ("at", "current_frozen"),
    ("at_date", "current_frozen"),
    ("name_at", "current_frozen"),
]


def child(op, n, wrapped):
    source = f"WRAPPED = {wrapped}\n" + CHILD_SETUP + PREP.get(op, "")
    source += f"def run():\n    for _ in range({n}):\n        {CHILD_OPS[op]}\nrun()\n"
    exec(compile(source, "<instructions>", "exec"), {"__name__": "__instructions__"})


def count(op, n, wrapped, script, cwd):
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
           sys.executable, script, "--child", op, str(n)] + (["--wrapped"] if wrapped else [])
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if proc.returncode != 0 or not found:
        sys.exit(f"callgrind run of {op} failed:\n{proc.stderr[-2000:]}")
    return int(found.group(1))


def per_call(op, wrapped, layouts):
    n1, n2 = (N1 // 100, N2 // 100) if op in HEAVY else (N1, N2)
    best = None
    here = os.path.abspath(__file__)
    for i in range(layouts):
        with tempfile.TemporaryDirectory(prefix="q" * (1 + 7 * i)) as tmp:
            script = os.path.join(tmp, "x" * (1 + 13 * i) + ".py")
            shutil.copy(here, script)
            cwd = tmp if i % 2 else os.path.dirname(here)
            value = (count(op, n2, wrapped, script, cwd) - count(op, n1, wrapped, script, cwd)) / (n2 - n1)
        best = value if best is None else min(best, value)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ops", nargs="*", help="operations to count (default: all)")
    parser.add_argument("--layouts", type=int, default=3, help="process layouts per figure (least wins)")
    parser.add_argument("--case", choices=["skipped", "made", "both"], default="both",
                        help="import_module as loaded (skipped), rebound to a Python wrapper (made), or both")
    parser.add_argument("--wrapped", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--child", nargs=2, metavar=("OP", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), args.wrapped)
        return
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    wanted = [op for op in OPERATIONS if not args.ops or op[0] in args.ops]
    cases = {"skipped": [False], "made": [True], "both": [False, True]}[args.case]
    for wrapped in cases:
        if wrapped:  # construction does not import: counted once
            wanted = [op for op in wanted if op[1]]
        print(f"\ninstructions per call (callgrind, least of {args.layouts} layouts), import "
              f"{'made: import_module rebound to a Python wrapper' if wrapped else 'skipped: the standard import_module'}")
        print(f"| {'operation':<16} | {'floor':>8} | {'this module':>11} | {'ratio':>6} |")
        print(f"|{'-' * 18}|{'-' * 9}:|{'-' * 12}:|{'-' * 7}:|")
        floors = {}
        for op, floor in wanted:
            if floor and floor not in floors:
                floors[floor] = per_call(floor, wrapped, args.layouts)
            value = per_call(op, wrapped, args.layouts)
            f = floors.get(floor)
            ratio = f"{value / f:.3f}" if f else "-"
            print(f"| {op:<16} | {f'{f:,.0f}' if f else '-':>8} | {value:>11,.0f} | {ratio:>6} |", flush=True)


if __name__ == "__main__":
    main()
