"""Benchmark suite for quorlin.version_manager (pyperf).

Run from the repository root:

    .venv/bin/python bench/run.py            # full run, pyperf defaults (several minutes)
    .venv/bin/python bench/run.py --quick    # rough figures in well under a minute
    .venv/bin/python bench/run.py --json results.json

Every other option goes to pyperf (see --help).  Each operation is timed on the
extension and on the plain-Python class of bench/baseline.py; the four lookups are
also set against their floor, the calls that no implementation can skip because
callers may rebind them, timed in the same run:

    current, vm()      datetime.now() + import_module(name=<package> + "." + <version>)
    last, get_module   import_module(name=<package> + "." + <version>)

quorlin.at and name_at are set against reading `current` with the module's clock frozen at the
same moment (a stand-in `datetime` whose now() is a C function), timed in the same run.

The versioned package is written afresh by every process (the parent and each pyperf
worker) into a temporary directory of its own and removed when that process exits.
Its ten submodules v00..v09 start at dates around today, five in the past and five in
the future, so `current` walks past five entries on the real clock.  After the run a
table of medians is printed.
"""

import atexit
import importlib
import itertools
import os
import random
import shutil
import sys
import tempfile
from datetime import date, datetime, timedelta
from importlib import import_module
from time import perf_counter

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

import pyperf  # noqa: E402

import baseline  # noqa: E402
import quorlin  # noqa: E402
from quorlin import version_manager  # noqa: E402
from quorlin.version_manager import VersionManager  # noqa: E402

PKG = "quorlin_bench_pkg"
NAMES = [f"v{i:02d}" for i in range(10)]
TODAY = date.today()
# v00..v04 started 540..60 days ago, v05..v09 start in 60..540 days.
DATES10 = {name: TODAY + timedelta(days=(2 * i - 9) * 60) for i, name in enumerate(NAMES)}
CURRENT = NAMES[4]  # the version in force on the real clock
MOMENT = datetime.combine(TODAY, datetime.min.time())  # the moment at() is asked about: CURRENT
LAST = NAMES[9]


def write_package():
    """Write the versioned package into a fresh temporary directory and import all of it."""
    root = tempfile.mkdtemp(prefix="quorlin-bench-")
    atexit.register(shutil.rmtree, root, True)
    pkg_dir = os.path.join(root, PKG)
    os.mkdir(pkg_dir)
    with open(os.path.join(pkg_dir, "__init__.py"), "w") as f:
        f.write('"""Throw-away package with ten dated versions."""\n')
    for name, start in DATES10.items():
        with open(os.path.join(pkg_dir, name + ".py"), "w") as f:
            f.write(f"from datetime import date\n\nSTART = date({start.year}, {start.month}, {start.day})\n")
    sys.path.insert(0, root)
    importlib.invalidate_caches()
    for name in NAMES:
        import_module(f"{PKG}.{name}")


def make_pairs(n=10_000, seed=20261208):
    """n (name, start) pairs in random order, each start a plain date or a naive datetime."""
    rnd = random.Random(seed)
    first = date(2000, 1, 1).toordinal()
    last = date(2030, 12, 31).toordinal()
    pairs = []
    for i in range(n):
        day = date.fromordinal(rnd.randint(first, last))
        if rnd.random() < 0.5:
            start = day
        else:
            start = datetime(day.year, day.month, day.day, rnd.randrange(24), rnd.randrange(60),
                             rnd.randrange(60), rnd.randrange(1_000_000))
        pairs.append((f"v{i:05d}", start))
    return pairs


write_package()
PAIRS = make_pairs()


# --- timed functions: every one has the same loop shape, (loops, *args) -> seconds ---

def t_floor_now_import(loops, dt, imp, pkg, ver):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        dt.now()
        imp(name=pkg + "." + ver)
    return perf_counter() - t0


def t_floor_import(loops, dt, imp, pkg, ver):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        imp(name=pkg + "." + ver)
    return perf_counter() - t0


def t_current(loops, vm):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        vm.current
    return perf_counter() - t0


def t_call(loops, vm):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        vm()
    return perf_counter() - t0


def t_last(loops, vm):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        vm.last
    return perf_counter() - t0


def t_get_module(loops, cls, pkg, ver):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        cls.get_module(module=pkg, version=ver, current="#")
    return perf_counter() - t0


def t_construct(loops, cls, pkg, table):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        cls(pkg, table)
    return perf_counter() - t0


def t_set_versions(loops, vm, table):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        vm.versions = table
    return perf_counter() - t0


def t_current_frozen(loops, vm, moment):
    """vm.current with the module's clock frozen at `moment`, restored afterwards."""
    frozen = type("Frozen", (datetime,), {"now": itertools.repeat(moment).__next__})
    saved, version_manager.datetime = version_manager.datetime, frozen
    try:
        return t_current(loops, vm)
    finally:
        version_manager.datetime = saved


def t_at(loops, vm, func, moment):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        func(vm, moment)
    return perf_counter() - t0


# (row label, benchmark name, timed function, arguments): the version at a moment, against
# current with the clock frozen there (the first row).
MOMENT_OPS = [
    ("vm.current, clock frozen", "current_frozen", t_current_frozen, (MOMENT,)),
    ("at(vm, naive datetime)", "at", t_at, (quorlin.at, MOMENT)),
    ("at(vm, aware datetime)", "at_aware", t_at, (quorlin.at, MOMENT.astimezone())),
    ("at(vm, date)", "at_date", t_at, (quorlin.at, TODAY)),
    ("name_at(vm, naive datetime)", "name_at", t_at, (quorlin.name_at, MOMENT)),
]

# (row label, benchmark name suffix, timed function, argument maker(cls), floor benchmark or None)
OPERATIONS = [
    ("vm.current", "current", t_current, lambda cls: (cls(PKG, DATES10),), "floor_now_import"),
    ("vm()", "call", t_call, lambda cls: (cls(PKG, DATES10),), "floor_now_import"),
    ("vm.last", "last", t_last, lambda cls: (cls(PKG, DATES10),), "floor_import"),
    ("get_module", "get_module", t_get_module, lambda cls: (cls, PKG, CURRENT), "floor_import"),
    ("init, dict of 10 dates", "init_dict10", t_construct, lambda cls: (cls, PKG, DATES10), None),
    ("init, 10,000 mixed pairs", "init_pairs10000", t_construct, lambda cls: (cls, PKG, PAIRS), None),
    ("vm.versions = dict of 10", "set_versions", t_set_versions, lambda cls: (cls(PKG, DATES10), DATES10), None),
]
FLOORS = [
    ("floor_now_import", t_floor_now_import, CURRENT),
    ("floor_import", t_floor_import, LAST),
]
IMPLEMENTATIONS = [("", VersionManager), ("baseline_", baseline.VersionManager)]


def check_setup():
    """Both classes pick the expected modules and build the same tables (parent process only)."""
    v_cur = sys.modules[f"{PKG}.{CURRENT}"]
    v_last = sys.modules[f"{PKG}.{LAST}"]
    for _, cls in IMPLEMENTATIONS:
        vm = cls(PKG, DATES10)
        got = (vm.current, vm(), vm.last, cls.get_module(module=PKG, version=CURRENT, current="#"))
        assert got == (v_cur, v_cur, v_last, v_cur), f"{cls.__module__}: picked {[m.__name__ for m in got]}"
    vm = VersionManager(PKG, DATES10)
    assert {quorlin.at(vm, when) for _, _, _, (_, when) in MOMENT_OPS[1:]} == {v_cur}
    assert VersionManager(PKG, PAIRS).versions == baseline.VersionManager(PKG, PAIRS).versions


def add_options(runner):
    parser = runner.argparser
    parser.add_argument("--quick", action="store_true",
                        help="rough figures in well under a minute: 2 worker processes of 3 values of "
                             "50 ms per benchmark, no stability warnings (explicit -p/-n/--min-time win)")
    parser.add_argument("--json", metavar="FILE", help="save all results to FILE (replaced if it exists)")
    if parser.parse_known_args()[0].quick:
        parser.set_defaults(processes=2, values=3, min_time=0.05, quiet=True)


def fmt_ns(seconds):
    return f"{seconds * 1e9:,.0f}" if seconds is not None else "-"


def fmt_ratio(num, den):
    return f"{num / den:.2f}x" if num is not None and den is not None else "-"


def print_table(results):
    median = {name: bench.median() for name, bench in results.items() if bench is not None}
    header = ["operation", "floor (ns)", "this module (ns)", "ratio to floor",
              "pure-Python baseline (ns)", "ratio to baseline"]
    rows = []
    for label, name, _, _, floor in OPERATIONS:
        f, m, b = median.get(floor), median.get(name), median.get("baseline_" + name)
        rows.append([label, fmt_ns(f), fmt_ns(m), fmt_ratio(m, f), fmt_ns(b), fmt_ratio(m, b)])
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]

    def line(cells):
        return "| " + " | ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                 for i, (c, w) in enumerate(zip(cells, widths))) + " |"

    print()
    print(f"Medians; Python {sys.version.split()[0]}; ten versions, clock between the 5th and 6th start.")
    print(line(header))
    print("|" + "|".join(("-" * (w + 1) + ":") if i else ("-" * (w + 2)) for i, w in enumerate(widths)) + "|")
    for r in rows:
        print(line(r))

    rows = [[label, fmt_ns(median.get(name)), fmt_ratio(median.get(name), median.get("current_frozen"))]
            for label, name, _, _ in MOMENT_OPS]
    print("\nThe version at a moment, against vm.current with the clock frozen at the same moment:")
    print(f"| {'operation':<28} | {'median (ns)':>11} | {'ratio':>6} |")
    print(f"|{'-' * 30}|{'-' * 12}:|{'-' * 7}:|")
    for label, ns, ratio in rows:
        print(f"| {label:<28} | {ns:>11} | {ratio:>6} |")

    class TwoSlots:
        __slots__ = ("a", "b")

    print(f"\nsys.getsizeof: VersionManager instance {sys.getsizeof(VersionManager(PKG, DATES10))} bytes, "
          f"plain object with two slots {sys.getsizeof(TwoSlots())} bytes")


def main():
    runner = pyperf.Runner()
    add_options(runner)
    args = runner.parse_args()
    worker = args.worker
    if not worker:
        check_setup()
    results = {}
    for name, func, ver in FLOORS:
        results[name] = runner.bench_time_func(name, func, datetime, import_module, PKG, ver)
    for _, name, func, make_args, _ in OPERATIONS:
        for prefix, cls in IMPLEMENTATIONS:
            results[prefix + name] = runner.bench_time_func(prefix + name, func, *make_args(cls))
    for _, name, func, extra in MOMENT_OPS:
        results[name] = runner.bench_time_func(name, func, VersionManager(PKG, DATES10), *extra)
    if worker or any(b is None for b in results.values()):
        return
    print_table(results)
    if args.json:
        pyperf.BenchmarkSuite(list(results.values())).dump(args.json, replace=True)
        print(f"results saved to {args.json}")


if __name__ == "__main__":
    main()
