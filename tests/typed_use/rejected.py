"""Typed code that misuses quorlin.version_manager in ways that fail at run time, at once or at the
first look-up.

Every marked line must be reported, with the error named in its comment: mypy runs with
warn_unused_ignores and pyright with reportUnnecessaryTypeIgnoreComment (and without honouring
`type: ignore`), so a line that a checker lets through fails the check as well.
"""

from collections.abc import Mapping
from datetime import date
from types import MappingProxyType

import quorlin.version_manager as vm_mod
from quorlin.version_manager import VersionManager

vm = VersionManager("pkg", {"v1": date(2024, 1, 1)})
proxy: Mapping[str, date] = MappingProxyType({"v1": date(2024, 1, 1)})  # iterated by its keys at run time

# A package name is required and must be a str.
VersionManager()  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue]
VersionManager(None, {"v1": date(2024, 1, 1)})  # type: ignore[call-overload]  # pyright: ignore[reportArgumentType]
VersionManager(versions={"v1": date(2024, 1, 1)})  # type: ignore[call-overload]  # pyright: ignore[reportArgumentType]
VersionManager(b"pkg")  # type: ignore[call-overload]  # pyright: ignore[reportArgumentType]

# Starts are dates or datetimes, names are str, a table is a dict or an iterable of pairs.
VersionManager("pkg", {"v1": "2024-01-01"})  # type: ignore[type-var]  # pyright: ignore[reportArgumentType]
VersionManager("pkg", {1: date(2024, 1, 1)})  # type: ignore[type-var]  # pyright: ignore[reportArgumentType]
VersionManager("pkg", [("v1", "2024-01-01")])  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
VersionManager("pkg", [(1, date(2024, 1, 1))])  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
VersionManager("pkg", proxy)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
VersionManager("pkg", 2024)  # type: ignore[call-overload]  # pyright: ignore[reportArgumentType]
VersionManager("pkg", {"v1": date(2024, 1, 1)}, None)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue]

# The setters take what the constructor takes; current and last are read-only.
vm.module = None  # type: ignore[assignment]  # pyright: ignore[reportAttributeAccessIssue]
vm.module = 1  # type: ignore[assignment]  # pyright: ignore[reportAttributeAccessIssue]
vm.versions = {"v1": 1}  # type: ignore[type-var]  # pyright: ignore[reportAttributeAccessIssue]
vm.versions = proxy  # type: ignore[arg-type, assignment]  # pyright: ignore[reportAttributeAccessIssue]
vm.current = vm.last  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue]
vm.last = vm.current  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue]
vm.label = "tariffs"  # type: ignore[attr-defined]  # pyright: ignore[reportAttributeAccessIssue]

# get_module takes str names; calling a manager takes no argument.
VersionManager.get_module()  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
VersionManager.get_module(None)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
VersionManager.get_module("pkg", version=1)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
VersionManager.get_module("pkg", current=b"current")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
VersionManager.get_module("pkg", name="v1")  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
vm("v1")  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]

# What comes back is a module and a table of datetimes.
text: str = vm.current  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
start: date = vm.versions[0][1]
when: str = vm.versions[0][1]  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]

# The rebindable names keep their kinds (mypy only: pyright does not check what is assigned to
# another module's attributes).
vm_mod.datetime = date  # type: ignore[assignment]
vm_mod.date = str  # type: ignore[assignment]
vm_mod.ModuleType = object  # type: ignore[assignment]
vm_mod.import_module = len  # type: ignore[assignment]

# Versions read as a protocol (prices.py): what the protocol lacks, modules that lack what it has.
# Here the checkers hold code to the protocol, which nothing checks at run time.
import math  # noqa: E402

from prices import Tariff, tariff_versions  # noqa: E402
from quorlin.typed import as_protocol  # noqa: E402

charge: float = tariff_versions.current.STANDING_CHARGE  # type: ignore[attr-defined]  # pyright: ignore[reportAttributeAccessIssue, reportUnknownMemberType, reportUnknownVariableType]
rate: str = as_protocol(Tariff, vm.last).RATE  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
not_a_tariff: Tariff = math  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
as_protocol(Tariff, "tariffs")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
tariff_versions.current = vm.current  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue]


# Without the protocol, the module's attributes are Any (mypy only: pyright strict lets Any pass).
def untyped_price(kwh: float) -> float:
    return vm.current.RATE * kwh  # type: ignore[no-any-return]
