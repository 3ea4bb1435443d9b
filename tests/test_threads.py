"""Readers of `current`, `last` and the instance racing a writer of `versions` and a moving clock."""

import importlib
import sys
import threading
import time
from datetime import date, datetime, timedelta

from conftest import VM, vm_mod

T0 = datetime(2024, 1, 1)


def test_readers_race_writer_and_clock(make_package, monkeypatch):
    pkg = make_package("pkg_threads_race", {"__init__.py": "", "a.py": "", "b.py": "", "c.py": ""})
    legit = {importlib.import_module(f"{pkg}.{n}") for n in "abc"}
    expected = {f'Module "{pkg}" {which} version not found' for which in ("current", "last")}
    tables = [{n: T0 + timedelta(days=i) for i, n in enumerate("abc")}, [("a", date(2024, 1, 3)), ("b", date(2024, 1, 2))],
              [], None, [("c", T0 + timedelta(days=9))], [("b", T0), ("a", T0)]]  # dates are converted by the clock in force
    clocks = [type("Frozen", (datetime,), {"now": classmethod(lambda cls, tz=None, at=T0 + timedelta(hours=h): at)})
              for h in (-1, 0, 36, 24 * 30)] + [datetime]  # and the real clock
    monkeypatch.setattr(vm_mod, "datetime", datetime)  # restored afterwards
    vm, stop, problems = VM(pkg, tables[0]), time.monotonic() + 1.5, []

    def read(get):
        try:
            result = get()
            ok = result in legit
        except ModuleNotFoundError as e:
            result, ok = e, str(e) in expected
        if not ok:
            problems.append(result)

    workers = [lambda i: read(lambda: vm.current), lambda i: read(lambda: vm.last), lambda i: read(vm),
               lambda i: setattr(vm, "versions", tables[i % len(tables)]),
               lambda i: setattr(vm_mod, "datetime", clocks[i % len(clocks)])]

    def loop(step, i=0):
        try:
            while time.monotonic() < stop and not problems:
                step(i := i + 1)
        except BaseException as e:  # noqa: BLE001 - anything else is reported below
            problems.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=loop, args=(w,)) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not problems, problems[:5]
