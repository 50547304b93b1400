"""The oldest dependency set is derived from pyproject.toml's floors, and refuses what it cannot pin."""

import importlib.util
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
_spec = importlib.util.spec_from_file_location("oldest_pins", ROOT / "scripts" / "oldest_pins.py")
oldest_pins = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(oldest_pins)


def test_pins_follow_the_floors():
    project = {"dependencies": ["numpy>=1.25", "tqdm >= 4.66, <5"],
               "optional-dependencies": {"test": ["pytest>=7", "Hypothesis>=6", "dask[distributed]>=2024.1",
                                                  "markdown_it.py>=3.0"],
                                         "sweep": ["dask[distributed]>=2024.1.0", "numpy>=1.25.0"]}}
    assert oldest_pins.floors(project) == {"numpy": "1.25", "tqdm": "4.66", "dask": "2024.1",
                                           "markdown-it-py": "3.0"}


@pytest.mark.parametrize("reqs, message", [
    (["pandas"], "'pandas' needs exactly one plain `>=` floor"),
    (["pandas==2.0"], "'pandas==2.0' needs exactly one plain `>=` floor"),
    (["pandas>=2.0rc1"], "needs exactly one plain `>=` floor"),
    (["pandas>2.0"], "needs exactly one plain `>=` floor"),
    (["pandas>=2.0; python_version < '3.12'"], "is not of the form"),
    (["pandas @ https://example.org/pandas.whl"], "is not of the form"),
    (["pandas>=2.0", "Pandas>=2.1"], "pandas: floor 2.0 in [project] dependencies but 2.1 in extra 'x'"),
])
def test_what_cannot_be_pinned_stops(reqs, message):
    project = {"dependencies": reqs[:1], "optional-dependencies": {"x": reqs[1:]}}
    with pytest.raises(oldest_pins.PinError) as e:
        oldest_pins.floors(project)
    assert message in str(e.value)


def test_pyproject_derives():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    pins = oldest_pins.floors(project)
    # Every runtime dependency is in the oldest set; the test tools are not.
    assert {oldest_pins.normalise(r.split(">")[0]) for r in project["dependencies"]} <= set(pins)
    assert not set(oldest_pins.NEWEST) & set(pins)
