from collections.abc import Callable
from datetime import date, datetime
from types import ModuleType
from typing import Any, TypeVar

_T = TypeVar("_T")

def logging(prefix: str) -> Callable[[_T], _T]: ...

__test__: dict[str, Any]

class VersionManager:
    def __init__(
        self,
        module: str | None = None,
        versions: dict[str, datetime | date] | list[tuple[str, datetime | date]] | None = None,
    ) -> None: ...
    @property
    def module(self) -> str: ...
    @module.setter
    def module(self, module: str) -> None: ...
    @property
    def versions(self) -> list[tuple[str, datetime]]: ...
    @versions.setter
    def versions(
        self, versions: dict[str, datetime | date] | list[tuple[str, datetime | date]] | None
    ) -> None: ...
    @staticmethod
    def get_module(module: str, version: str | None = None, current: str | None = None) -> ModuleType: ...
    @property
    def current(self) -> ModuleType: ...
    @property
    def last(self) -> ModuleType: ...
    def __call__(self) -> ModuleType: ...
