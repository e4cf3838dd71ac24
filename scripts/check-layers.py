#!/usr/bin/env python3
"""Checks the shape of the production code.

- Direction: each production folder may include headers of its own folder and
  of the layers below it, never of a layer above or of a program.
- Size: no production file over MAX_FILE_LINES lines, and no folder holding
  more than MAX_FOLDER_SHARE of the production lines in its own files (a
  subfolder counts apart).

Prints each violation and exits 1 when there is one, else prints nothing and
exits 0.

    scripts/check-layers.py [SOURCE_DIR]
"""
import pathlib
import re
import sys

# Bottom to top. A folder may include its own headers and those of the folders
# listed before it; the programs (last group) may not include one another.
LAYERS = ["base", "platform", "db", "db/sqlite", "db/pg", "com", "phone"]
PROGRAMS = ["batch", "ctl", "tools"]
# The providers are private to the layers that implement or choose them.
PRIVATE = {"db/sqlite": {"db/sqlite", "com"}, "db/pg": {"db/pg", "com"}}

MAX_FILE_LINES = 450
MAX_FOLDER_SHARE = 0.35

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path: str) -> str:
    parts = path.split("/")
    if len(parts) > 2 and "/".join(parts[:2]) in LAYERS:
        return "/".join(parts[:2])
    return parts[0]


def allowed(source: str, target: str) -> bool:
    if source == target:
        return True
    if target in PRIVATE and source not in PRIVATE[target]:
        return False
    if source in PROGRAMS:
        return target in LAYERS
    if source in LAYERS and target in LAYERS:
        return LAYERS.index(target) < LAYERS.index(source)
    return False


def sources(root: pathlib.Path):
    for folder in LAYERS + PROGRAMS:
        for path in sorted((root / folder).glob("*")):
            if path.suffix in (".h", ".cpp"):
                yield folder, path


def size_violations(root: pathlib.Path) -> list:
    bad = []
    lines = {}
    for folder, path in sources(root):
        count = len(path.read_text(encoding="utf-8").splitlines())
        lines[folder] = lines.get(folder, 0) + count
        if count > MAX_FILE_LINES:
            bad.append(f"{path.relative_to(root)}: {count} lines (at most {MAX_FILE_LINES})")
    total = sum(lines.values())
    for folder, count in sorted(lines.items()):
        if count > MAX_FOLDER_SHARE * total:
            bad.append(f"{folder}/: {count} of {total} production lines "
                       f"(at most {MAX_FOLDER_SHARE:.0%})")
    return bad


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    bad = size_violations(root)
    for _, path in sources(root):
        source = folder_of(str(path.relative_to(root)))
        for included in INCLUDE.findall(path.read_text(encoding="utf-8")):
            target = folder_of(included)
            if target not in LAYERS + PROGRAMS:
                continue
            if not allowed(source, target):
                bad.append(f"{path.relative_to(root)}: includes {included}")
    for line in bad:
        print(line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
