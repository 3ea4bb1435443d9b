"""Keep dated versions of a package side by side and hand out the one in force."""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from quorlin.moment import at, name_at, zoned

__all__ = ["at", "name_at", "zoned"]

# Imported on first use, so that `import quorlin.version_manager` does not pay for them.
_LAZY = {"at": "quorlin.moment", "name_at": "quorlin.moment", "zoned": "quorlin.moment"}


def __getattr__(name: str) -> object:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value  # found directly from now on
        return value
    raise AttributeError(f"module 'quorlin' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY])
