"""The same class written plainly in Python: what the benchmark compares the extension with.

It keeps the extension's observable steps (the two slots, the properties, a local
``convert2datetime`` and a key lambda made at every assignment, the built-in ``sorted``
with ``reverse=True``, the module globals looked up at every use, ``get_module`` called
through the class by keyword, the translation of a missing module) and nothing more:
no argument or return type checks beyond the ``module`` setter's.
"""

from __future__ import annotations  # annotations stay strings, as on the extension

from datetime import date, datetime
from importlib import import_module
from types import ModuleType

from logger import logging

__all__ = ["VersionManager"]


class VersionManager:
    __slots__ = ("__module", "__versions")

    @logging(prefix=__name__)
    def __init__(self, module: str | None = None, versions=None):
        self.module = module
        self.versions = versions

    @property
    def module(self) -> str:
        return self.__module

    @module.setter
    def module(self, module: str | None):
        if type(module) is not str:
            raise TypeError(f"Argument 'module' has incorrect type (expected str, got {type(module).__name__})")
        self.__module = module

    @property
    def versions(self) -> list[tuple[str, datetime]]:
        return self.__versions

    @versions.setter
    def versions(self, versions):
        if versions is None:
            self.__versions = []
            return

        def convert2datetime(value: datetime | date) -> datetime | date:
            if type(value) is date:
                return datetime(value.year, value.month, value.day)
            return value

        if isinstance(versions, dict):
            versions = list(versions.items())
        result = []
        for version, start_date in versions:
            result.append((version, convert2datetime(value=start_date)))
        self.__versions = sorted(result, key=lambda item: item[1], reverse=True)

    @logging(prefix=__name__)
    @staticmethod
    def get_module(module: str, version: str | None = None, current: str | None = None) -> ModuleType:
        if current is None:
            current = "current"
        if version is None:
            version = current
        try:
            if version == current:
                module__core = import_module(name=module)
                func__current = getattr(module__core, current, None)
                if func__current is None:
                    raise AttributeError(f'Attribute "{module}"."{current}" not found')
                if not callable(func__current):
                    raise TypeError(f'Attribute "{module}"."{current}" is not callable')
                module__version = func__current()
                if not isinstance(module__version, ModuleType):
                    raise TypeError(f'Function "{module}"."{current}" not return a module instance')
                return module__version
            return import_module(name=f"{module}.{version}")
        except ModuleNotFoundError as exc:
            if exc.name == module or exc.name == f"{module}.{version}":
                raise ModuleNotFoundError(f'Module "{module}.{version}" not found') from exc
            raise

    @property
    def current(self) -> ModuleType:
        now = datetime.now()
        for version, start_date in self.versions:
            if now > start_date:
                return VersionManager.get_module(module=self.module, version=version, current="#")
        raise ModuleNotFoundError(f'Module "{self.module}" current version not found')

    @property
    def last(self) -> ModuleType:
        if len(self.versions) == 0:
            raise ModuleNotFoundError(f'Module "{self.module}" last version not found')
        version, start_date = self.versions[0]
        return VersionManager.get_module(module=self.module, version=version, current="#")

    @logging(prefix=__name__)
    def __call__(self) -> ModuleType:
        return self.current
