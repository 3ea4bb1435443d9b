"""Typed code that uses quorlin.version_manager correctly: both checkers must accept all of it."""

import types
import unittest.mock
from collections import OrderedDict, defaultdict
from collections.abc import Callable, Iterator
from datetime import date, datetime, timezone
from typing import assert_type

import quorlin.version_manager as vm_mod
from quorlin.version_manager import VersionManager, logging

# Tables of every shape the constructor takes.
mixed = VersionManager(__name__, {"v1": date(2024, 1, 1), "v2": datetime(2024, 6, 1, 12, 0)})
only_datetimes: dict[str, datetime] = {"v1": datetime(2024, 1, 1)}
only_dates: dict[str, date] = {"v1": date(2024, 1, 1)}
either: dict[str, datetime | date] = {"v1": date(2024, 1, 1), "v2": datetime(2024, 6, 1)}
pairs: list[tuple[str, datetime]] = [("v1", datetime(2024, 1, 1))]
mixed_pairs: list[tuple[str, datetime | date]] = [("v1", date(2024, 1, 1)), ("v2", datetime(2024, 6, 1))]
ordered: OrderedDict[str, datetime] = OrderedDict(v1=datetime(2024, 1, 1))
by_default: defaultdict[str, date] = defaultdict(lambda: date(2024, 1, 1))


def generated() -> Iterator[tuple[str, date]]:
    yield "v1", date(2024, 1, 1)


managers = [
    VersionManager(__name__, only_datetimes),
    VersionManager(__name__, only_dates),
    VersionManager(__name__, either),
    VersionManager(__name__, pairs),
    VersionManager(__name__, mixed_pairs),
    VersionManager(__name__, ordered),
    VersionManager(__name__, by_default),
    VersionManager(__name__, generated()),
    VersionManager(__name__, (("v1", date(2024, 1, 1)), ("v2", datetime(2024, 6, 1)))),
    VersionManager(__name__, [("v1", datetime(2024, 1, 1, tzinfo=timezone.utc))]),
    VersionManager(__name__, {}),
    VersionManager(__name__, []),
    VersionManager(__name__, None),
    VersionManager(__name__),
    VersionManager(module=__name__, versions={"v1": date(2024, 1, 1)}),
    VersionManager(versions=[("v1", date(2024, 1, 1))], module="pkg"),
]

# What the getters return goes back in through the constructor and the setters.
copy = VersionManager(mixed.module, mixed.versions)
copy.versions = copy.versions
copy.versions = mixed.versions
copy.module = mixed.module
copy.versions = only_datetimes
copy.versions = mixed_pairs
copy.versions = None
copy.versions = {"v3": date(2025, 1, 1)}
assert_type(copy.module, str)
assert_type(copy.versions, list[tuple[str, datetime]])
for name, start in copy.versions:
    assert_type(name, str)
    assert_type(start, datetime)

# The modules handed out.
chosen: list[types.ModuleType] = [
    mixed.current,
    mixed.last,
    mixed(),
    VersionManager.get_module("pkg"),
    VersionManager.get_module("pkg", "v1"),
    VersionManager.get_module(module="pkg", version="v1", current="current"),
    VersionManager.get_module("pkg", None, None),
    mixed.get_module(module="pkg", current="pick"),
]
assert_type(mixed.current, types.ModuleType)
assert_type(VersionManager.get_module("pkg"), types.ModuleType)
handed_out: Callable[[], types.ModuleType] = mixed


# The module attributes that the members look up at every use, rebound as tests do.
class FixedClock(datetime):
    @classmethod
    def now(cls, tz: object = None) -> "FixedClock":
        return cls(2024, 3, 1)


class FakeDate(date):
    pass


class TracedModule(types.ModuleType):
    pass


def traced_import(name: str, package: str | None = None) -> types.ModuleType:
    return types.ModuleType(name)


vm_mod.datetime = FixedClock
vm_mod.datetime = datetime
vm_mod.date = FakeDate
vm_mod.date = date
vm_mod.ModuleType = TracedModule
vm_mod.ModuleType = types.ModuleType
vm_mod.import_module = traced_import
assert_type(vm_mod.datetime.now(), datetime)
assert_type(vm_mod.date(2024, 1, 1), date)
assert_type(vm_mod.import_module("pkg"), types.ModuleType)
with unittest.mock.patch.object(vm_mod, "datetime", FixedClock):
    pass
with unittest.mock.patch("quorlin.version_manager.datetime", FixedClock):
    pass
vm_mod.__test__["example"] = "1 + 1"


# The decorator factory that the module applies keeps what it decorates.
def member(x: int) -> str:
    return str(x)


kept: Callable[[int], str] = logging(prefix="quorlin.version_manager")(member)
