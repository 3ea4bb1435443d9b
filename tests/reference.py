"""The class written plainly in Python, step for step, as the model that differential tests hold
the extension to. Every module global is looked up at the moment of use, as the extension does, so
rebinding one on this module has the same effect as on the extension.

Reads of the class's own properties and of VersionManager.get_module go through getattr(): the
interpreter's specialised attribute reads in warm code keep using a property's old getter after
property.__init__ has re-initialised it in place, which plain attribute access does not."""

from datetime import date, datetime  # noqa: F401  (module globals the members look up)
from importlib import import_module  # noqa: F401
from types import ModuleType  # noqa: F401


def _str_argument(value, param, allow_none):
    if type(value) is not str and not (allow_none and value is None):
        raise TypeError(f"Argument '{param}' has incorrect type (expected str, got {type(value).__name__})")


def _returned(value, kind):
    if value is not None and type(value) is not kind:
        raise TypeError(f"Expected {kind.__name__}, got {type(value).__name__}")
    return value


def _unpack(entry):
    if type(entry) is tuple or type(entry) is list:
        if len(entry) != 2:
            _wrong_count(len(entry))
        return entry[0], entry[1]
    it = iter(entry)
    got = []
    for _ in range(2):
        try:
            got.append(next(it))
        except StopIteration:
            _wrong_count(len(got))
    try:
        next(it)
    except StopIteration:
        return got[0], got[1]
    _wrong_count(3)


def _wrong_count(n):
    if n > 2:
        raise ValueError("too many values to unpack (expected 2)")
    raise ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack")


class VersionManager:
    __slots__ = ("__module", "__versions")

    def __init__(self, module=None, versions=None):
        _str_argument(module, "module", True)
        setattr(self, "module", module)
        setattr(self, "versions", versions)

    @property
    def module(self):
        return _returned(self.__module, str)

    @module.setter
    def module(self, module):
        _str_argument(module, "module", False)
        self.__module = module

    @property
    def versions(self):
        return _returned(self.__versions, list)

    @versions.setter
    def versions(self, versions):
        if versions is None:
            self.__versions = []
            return

        def convert2datetime(value):
            if type(value) is date:
                return datetime(value.year, value.month, value.day)
            return value

        if isinstance(versions, dict):
            versions = list(versions.items())
        result = []
        for entry in versions:
            version, start_date = _unpack(entry)
            result.append((version, convert2datetime(value=start_date)))
        self.__versions = sorted(result, key=lambda item: item[1], reverse=True)

    @staticmethod
    def get_module(module, version=None, current=None):
        _str_argument(module, "module", False)
        _str_argument(version, "version", True)
        _str_argument(current, "current", True)
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
            return import_module(name=module + "." + version)
        except ModuleNotFoundError as exc:
            missing = exc.name
            if missing == module or missing == module + "." + version:
                raise ModuleNotFoundError(f'Module "{module}.{version}" not found') from exc
            raise

    @property
    def current(self):
        now = datetime.now()
        for entry in getattr(self, "versions"):
            version, start_date = _unpack(entry)
            if now > start_date:
                return _delegate(self, version)
        raise ModuleNotFoundError(f'Module "{getattr(self, "module")}" current version not found')

    @property
    def last(self):
        if len(getattr(self, "versions")) == 0:
            raise ModuleNotFoundError(f'Module "{getattr(self, "module")}" last version not found')
        version, start_date = _unpack(getattr(self, "versions")[0])
        return _delegate(self, version)

    def __call__(self):
        return getattr(self, "current")


def _delegate(self, version):
    get_module = getattr(VersionManager, "get_module")
    return get_module(module=getattr(self, "module"), version=version, current="#")
