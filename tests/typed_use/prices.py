# prices.py
from typing import TYPE_CHECKING, Protocol

import tariffs
from quorlin.typed import as_protocol


class Tariff(Protocol):
    """What every version of tariffs offers."""

    RATE: float

    def describe(self) -> str: ...


if TYPE_CHECKING:  # the checkers verify that every version satisfies the protocol
    from tariffs import v2023_01, v2024_07, v2025_03, v2027_01

    every_version: tuple[Tariff, ...] = (v2023_01, v2024_07, v2025_03, v2027_01)

tariff_versions = as_protocol(Tariff, tariffs.versions)  # the same manager, typed Versions[Tariff]


def price(kwh: float) -> float:
    return tariff_versions.current.RATE * kwh  # current, last and calling it give a Tariff


def describe(version: str) -> str:
    module = tariffs.versions.get_module(module="tariffs", version=version)
    return as_protocol(Tariff, module).describe()  # any version module, read as a Tariff
