"""Shipping rates with a temporary cut: ``v2020_cut`` applied for half a year, then ``v2019`` again.

A list of pairs may name a version again at a later start: ``v2019`` is reinstated on
1 January 2021.
"""

from datetime import date

from quorlin.version_manager import VersionManager

versions = VersionManager(
    __name__,
    [
        ("v2019", date(2019, 1, 1)),
        ("v2020_cut", date(2020, 7, 1)),  # the cut, for the second half of 2020
        ("v2019", date(2021, 1, 1)),  # the cut ends: the 2019 rates again
        ("v2027_07", date(2027, 7, 1)),
    ],
)
