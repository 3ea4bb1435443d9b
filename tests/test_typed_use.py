"""The typed pattern of the testing page: its example is tests/typed_use/prices.py (which the type
checkers check, tests/check_types), and it runs as shown."""

import os
import re
from pathlib import Path

from conftest import run_python

ROOT = Path(__file__).resolve().parent.parent


def test_the_page_example_is_the_checked_file_and_runs():
    page = (ROOT / "docs" / "testing.md").read_text().split("\n## Typed use\n")[1]
    assert re.findall(r"```python\n(.*?)```", page, re.S)[0] == (ROOT / "tests" / "typed_use" / "prices.py").read_text()
    run_python("""
        import sys
        before = set(sys.modules)
        import quorlin.typed
        # types itself imports _types from 3.14 on
        assert set(sys.modules) - before <= {"quorlin", "quorlin.typed", "types", "_types"}, set(sys.modules) - before

        from types import GenericAlias
        import prices, tariffs, tariffs.v2023_01
        from quorlin.typed import Versions, as_protocol
        assert prices.tariff_versions is tariffs.versions and as_protocol(prices.Tariff, tariffs.v2023_01) is tariffs.v2023_01
        assert prices.price(10) == tariffs.versions.current.RATE * 10
        assert prices.describe("v2024_07") == "0.27 per kWh + 0.45 per day"
        assert Versions[prices.Tariff] == GenericAlias(Versions, prices.Tariff)
    """, env={"PYTHONPATH": os.pathsep.join([str(ROOT / "examples"), str(ROOT / "tests" / "typed_use"),
                                             *filter(None, [os.environ.get("PYTHONPATH")])])})
