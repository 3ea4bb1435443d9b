"""VAT rates: a reduced rate meant for 2024 was given the same start as the standard one.

Only the first of two versions with the same start ever answers: ``v2024_reduced`` never does.
"""

from datetime import date

from quorlin.version_manager import VersionManager

versions = VersionManager(
    __name__,
    [
        ("v2023", date(2023, 1, 1)),
        ("v2024", date(2024, 1, 1)),
        ("v2024_reduced", date(2024, 1, 1)),
    ],
)
