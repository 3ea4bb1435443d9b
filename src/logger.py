"""Decorator factory imported by ``quorlin.version_manager`` at load time.

``logging(prefix)`` returns a decorator that returns what it is given,
unchanged.  A project that wants to trace the members of ``VersionManager``
puts a ``logger`` module of its own earlier on ``sys.path``; it is called
with ``prefix=<module name>`` once for ``__init__``, ``get_module`` and
``__call__`` each, and its decorator's result is stored on the class.
"""

# The annotations are strings that only type checkers read, so neither `typing` (milliseconds to
# import) nor `__future__` is imported by a program that imports quorlin.version_manager.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import TypeVar

    _T = TypeVar("_T")

__all__ = ["logging"]


def logging(prefix: str) -> "Callable[[_T], _T]":
    """Return a decorator that leaves what it decorates untouched."""

    def decorate(func: "_T") -> "_T":
        return func

    return decorate
