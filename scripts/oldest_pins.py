"""The oldest dependency set pyproject.toml allows, derived from it so the two cannot drift.

    python scripts/oldest_pins.py            pip constraints: name==floor for every direct
                                             dependency ([project] and every extra)
    python scripts/oldest_pins.py --extras   the extras, comma-separated, to install them all
    python scripts/oldest_pins.py --check    in the installed environment: each pinned
                                             package is at its pin; prints the set

Every direct dependency needs a `>=` floor, and one name has the same floor
wherever it appears; anything else stops with a message naming it. The test
tools in NEWEST are not pinned: their floors are not ones users rely on, and
the run uses their newest releases.
"""

import re
import sys
import tomllib
from importlib import metadata
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"
NEWEST = ("pytest", "hypothesis", "mypy")
REQUIREMENT = re.compile(r"(?P<name>[A-Za-z0-9][A-Za-z0-9._-]*)\s*(?:\[[^\]]*\])?\s*(?P<bounds>[^;@]*)")
FLOOR = re.compile(r">=\s*(?P<version>\d+(?:\.\d+)*)")


class PinError(ValueError):
    pass


def normalise(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def floors(project):
    """{name: floor} from a pyproject's [project] table, NEWEST left out."""
    groups = {"[project] dependencies": project.get("dependencies", [])}
    groups |= {f"extra {extra!r}": reqs for extra, reqs in project.get("optional-dependencies", {}).items()}
    found, where = {}, {}
    for group, reqs in groups.items():
        for req in reqs:
            m = REQUIREMENT.fullmatch(req.strip())
            if m is None:
                raise PinError(f"{group}: {req!r} is not of the form name[extras]>=floor (no markers or URLs)")
            name = normalise(m["name"])
            if name in NEWEST:
                continue
            clauses = [c.strip() for c in m["bounds"].split(",") if c.strip()]
            floor = [f["version"] for c in clauses if (f := FLOOR.fullmatch(c))]
            if len(floor) != 1:
                raise PinError(f"{group}: {req!r} needs exactly one plain `>=` floor (e.g. {name}>=1.2)")
            if name in found and release(found[name]) != release(floor[0]):
                raise PinError(f"{name}: floor {found[name]} in {where[name]} but {floor[0]} in {group}; "
                               "make them agree")
            found.setdefault(name, floor[0])
            where.setdefault(name, group)
    return found


def release(version):
    """A version's release numbers without trailing zeros: 2024.1 == 2024.1.0."""
    parts = [int(p) for p in re.match(r"\d+(?:\.\d+)*", version)[0].split(".")]
    while len(parts) > 1 and parts[-1] == 0:
        parts.pop()
    return tuple(parts)


def check(pins):
    """Stops unless every pinned package is installed at its pin; prints the set."""
    have = {name: metadata.version(name) for name in pins}
    wrong = [f"{name} {have[name]} (pinned {floor})" for name, floor in pins.items()
             if release(have[name]) != release(floor)]
    if wrong:
        raise PinError("installed at another version than the oldest set: " + ", ".join(wrong))
    print("oldest set:", ", ".join(f"{name} {have[name]}" for name in pins))
    print("newest test tools:", ", ".join(f"{name} {metadata.version(name)}" for name in NEWEST))


def main(argv):
    project = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))["project"]
    pins = floors(project)
    if argv == ["--extras"]:
        print(",".join(project.get("optional-dependencies", {})))
    elif argv == ["--check"]:
        check(pins)
    elif not argv:
        print("# The oldest release of each direct dependency pyproject.toml allows,")
        print("# written by scripts/oldest_pins.py from its floors.")
        print("\n".join(f"{name}=={floor}" for name, floor in pins.items()))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (PinError, metadata.PackageNotFoundError) as e:
        sys.exit(f"oldest_pins.py: {e}")
