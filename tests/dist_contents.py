"""What the release archives hold (run by tests/check_dist).

    python tests/dist_contents.py SDIST WHEEL TRACKED

TRACKED is a file with the paths that git tracks, one a line (empty outside a git checkout).
The sdist must hold the sources that the wheel is built from and tested with, and nothing that a
build or an earlier release left in the tree; the wheel must hold the package, its stub, the
default `logger` module and the licence, and no C++ source.
"""

import fnmatch
import os
import sys
import sysconfig
import tarfile
import zipfile

# Never shipped: build output, environments, caches, earlier artifacts.
FORBIDDEN = ["dist/*", "wheelhouse/*", "build/*", ".venv/*", ".git/*", "*/__pycache__/*", "__pycache__/*",
             "*.egg-info/*", ".hypothesis/*", "*/.hypothesis/*", ".pytest_cache/*", ".mypy_cache/*",
             "*.so", "*.whl", "*.tar.gz", "*.pyc", "bench/*.json"]
SDIST_REQUIRED = ["PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/logger.py",
                  "src/quorlin/__init__.py", "src/quorlin/py.typed", "src/quorlin/version_manager.pyi",
                  "src/quorlin/module.cpp", "tests/conftest.py"]
WHEEL_REQUIRED = ["logger.py", "quorlin/__init__.py", "quorlin/py.typed", "quorlin/version_manager.pyi",
                  "quorlin/testing.py", "quorlin/typed.py",
                  # built by and for the interpreter that runs this check
                  "quorlin/version_manager" + sysconfig.get_config_var("EXT_SUFFIX"), "quorlin-*.dist-info/licenses/LICENSE",
                  "quorlin-*.dist-info/METADATA"]
WHEEL_FORBIDDEN = ["*.cpp", "*.hpp", "src/*", "tests/*"]


def matching(names, pattern):
    return [n for n in names if fnmatch.fnmatchcase(n, pattern)]


def sdist_problems(path, tracked):
    with tarfile.open(path) as tar:
        members = [m.name for m in tar.getmembers() if not m.isdir()]
    prefix = members[0].split("/")[0] + "/"
    if any(not m.startswith(prefix) for m in members):
        return [f"not everything lies under {prefix}"]
    files = [m[len(prefix):] for m in members]
    problems = [f"ships {f} (matches {p})" for p in FORBIDDEN for f in matching(files, p)]
    problems += [f"lacks {p}" for p in SDIST_REQUIRED if not matching(files, p)]
    if tracked:
        problems += [f"ships {f}, which git does not track" for f in files if f != "PKG-INFO" and f not in tracked]
        problems += [f"lacks the tracked source {f}" for f in sorted(tracked)
                     if f.startswith("src/") and f not in files]
    return problems


def wheel_problems(path):
    with zipfile.ZipFile(path) as whl:
        files = whl.namelist()
    problems = [f"ships {f} (matches {p})" for p in WHEEL_FORBIDDEN for f in matching(files, p)]
    problems += [f"lacks {p}" for p in WHEEL_REQUIRED if len(matching(files, p)) != 1]
    return problems


def main(sdist, wheel, tracked_list):
    with open(tracked_list) as f:
        tracked = {line.rstrip("\n") for line in f if line.strip()}
    problems = [f"{os.path.basename(sdist)}: {p}" for p in sdist_problems(sdist, tracked)]
    problems += [f"{os.path.basename(wheel)}: {p}" for p in wheel_problems(wheel)]
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        return 1
    print(f"contents: {os.path.basename(sdist)} and {os.path.basename(wheel)} hold what they should")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
