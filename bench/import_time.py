"""Import cost of quorlin's modules, from `python -X importtime` in fresh interpreters.

Run from the repository root with the project's interpreter:

    .venv/bin/python bench/import_time.py [--runs N]

For each module, N fresh interpreters import it; each figure is the least over the runs, in
microseconds. "beyond" is the module's cumulative time less that of datetime and importlib, which
the extension imports at load time and which most programs have imported anyway; "self" is the
module's own time, without the modules it imports.
"""

import argparse
import re
import subprocess
import sys

MODULES = ["quorlin.version_manager", "quorlin.moment", "quorlin"]
BASE = ("datetime", "importlib")


def times(module):
    """{imported module: (self, cumulative) microseconds} for one fresh `import module`."""
    proc = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                          capture_output=True, text=True, check=True)
    found = re.findall(r"import time:\s+(\d+) \|\s+(\d+) \| *(\S+)", proc.stderr)
    return {name: (int(own), int(total)) for own, total, name in found}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=30, help="fresh interpreters per module")
    args = parser.parse_args()
    print(f"| {'import':<25} | {'total (us)':>10} | {'beyond datetime, importlib (us)':>31} | "
          f"{'self (us)':>9} | typing |")
    print(f"|{'-' * 27}|{'-' * 11}:|{'-' * 32}:|{'-' * 10}:|{'-' * 8}|")
    for module in MODULES:
        runs = [times(module) for _ in range(args.runs)]
        total = min(r[module][1] for r in runs)
        beyond = min(r[module][1] - sum(r.get(b, (0, 0))[1] for b in BASE) for r in runs)
        own = min(r[module][0] for r in runs)
        typing = "yes" if any("typing" in r for r in runs) else "no"
        print(f"| {module:<25} | {total:>10,} | {beyond:>31,} | {own:>9,} | {typing:>6} |")


if __name__ == "__main__":
    main()
