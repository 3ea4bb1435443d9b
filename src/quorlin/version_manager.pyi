import datetime as _datetime
import types as _types
from collections.abc import Callable, Iterable
from typing import Any, Never, TypeVar, overload

_T = TypeVar("_T")
_Name = TypeVar("_Name", bound=str)
_Start = TypeVar("_Start", bound=_datetime.date)

# A table as the constructor and the `versions` setter take it: a dict of version names to starts
# (a `datetime`, or a `date` for midnight of that day), or any iterable of (name, start) pairs.
# The dict's key and value types are type variables so that a precisely typed dict, say a
# dict[str, datetime], is accepted as it stands; a mapping that is not a dict is not, since it would
# be iterated by its keys. The getter's list[tuple[str, datetime]] is such an iterable, so a table
# read from one manager can be handed to another or assigned back.
_Table = dict[_Name, _Start] | Iterable[tuple[str, _datetime.date]]

# The names the members look up at every use; tests rebind them (a clock that stands still, an
# import hook). Declared as variables so that rebinding them type-checks.
datetime: type[_datetime.datetime]
date: type[_datetime.date]
ModuleType: type[_types.ModuleType]

def import_module(name: str, package: str | None = None) -> _types.ModuleType: ...
def logging(prefix: str) -> Callable[[_T], _T]: ...

__test__: dict[str, Any]

class VersionManager:
    @overload
    def __init__(self, module: str, versions: _Table[_Name, _Start] | None = None) -> None: ...
    # The runtime default of `module` is None, which the `module` setter rejects: a manager needs a
    # package name. This overload only mirrors that default and takes no call.
    @overload
    def __init__(self, module: None = None, *, versions: Never) -> None: ...
    @property
    def module(self) -> str: ...
    @module.setter
    def module(self, module: str) -> None: ...
    @property
    def versions(self) -> list[tuple[str, _datetime.datetime]]: ...
    @versions.setter
    def versions(self, versions: _Table[_Name, _Start] | None) -> None: ...
    @staticmethod
    def get_module(
        module: str, version: str | None = None, current: str | None = None
    ) -> _types.ModuleType: ...
    @property
    def current(self) -> _types.ModuleType: ...
    @property
    def last(self) -> _types.ModuleType: ...
    def __call__(self) -> _types.ModuleType: ...
