"""Read the modules a VersionManager hands out as a Protocol that every version satisfies.

``as_protocol(Tariff, module)`` is `module`, typed as ``Tariff``; ``as_protocol(Tariff, manager)``
is `manager`, typed as ``Versions[Tariff]``, whose ``current``, ``last`` and call give ``Tariff``.
Both return their second argument unchanged: the types exist for the checkers only, so reading
``current`` through the typed manager costs nothing, and importing this module imports no ``typing``.
"""

from types import GenericAlias

__all__ = ["Versions", "as_protocol"]

# Seen as true by type checkers only: the declarations below cost nothing at run time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from datetime import datetime
    from types import ModuleType
    from typing import Protocol, overload

    from quorlin.version_manager import VersionManager

    class Versions[P](Protocol):
        """A VersionManager whose versions all satisfy the protocol P."""

        @property
        def current(self) -> P: ...
        @property
        def last(self) -> P: ...
        def __call__(self) -> P: ...
        @property
        def module(self) -> str: ...
        @property
        def versions(self) -> list[tuple[str, datetime]]: ...

    @overload
    def as_protocol[P](protocol: Callable[..., P], source: VersionManager) -> Versions[P]: ...
    @overload
    def as_protocol[P](protocol: Callable[..., P], source: ModuleType) -> P: ...
    def as_protocol(protocol: object, source: object) -> object:
        return source

else:

    class Versions:
        """A VersionManager whose versions all satisfy a protocol: ``Versions[Tariff]``, for checkers."""

        __slots__ = ()
        __class_getitem__ = classmethod(GenericAlias)

    def as_protocol(protocol, source):
        """`source` (a versioned module, or a VersionManager) unchanged; typed as `protocol` (or Versions[protocol])."""
        return source
