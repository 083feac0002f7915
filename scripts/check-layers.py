#!/usr/bin/env python3
"""Checks that no module of src/ includes a module above it (the layers of docs and DESIGN):
each module may include only itself and the modules listed for it below; url/, the address module,
sits below every other. Tests beside a module
may also use the test support. Prints every include that crosses a layer the wrong way; exit
status 1 when there is one.

    check-layers.py [SOURCE_ROOT]
"""
import pathlib
import re
import sys

ALLOWED = {
    "base": set(),
    "url": set(),
    "mapping": {"url"},
    "engine": {"url", "mapping"},
    "offline": {"url", "mapping"},
    "engine/static": {"engine", "mapping", "offline", "url"},
    "engine/chromium": {"engine", "mapping", "url"},
    "engine/webkit": {"engine", "mapping", "url"},
    "capture": {"engine", "mapping", "offline", "url"},
    "banner": {"mapping", "url"},
    "app": {"banner", "capture", "engine", "engine/webkit", "mapping", "url"},
    "cli": {"capture", "offline", "engine", "engine/static", "engine/chromium", "engine/webkit", "mapping", "url"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def module_of(path):
    """The module a path below src/ (or an include) belongs to, or None."""
    parts = pathlib.PurePosixPath(path).parts
    if len(parts) >= 2 and "/".join(parts[:2]) in ALLOWED:
        return "/".join(parts[:2])
    if parts and parts[0] in ALLOWED:
        return parts[0]
    return None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    source = root / "src"
    wrong = []
    for file in sorted(source.rglob("*")):
        if file.suffix not in (".h", ".cpp") or "tests" in file.relative_to(source).parts:
            continue
        own = module_of(file.relative_to(source).as_posix())
        if own is None:
            continue
        for included in INCLUDE.findall(file.read_text(errors="replace")):
            target = module_of(included)
            if target is None or target == own or target == "base" or target in ALLOWED[own]:
                continue
            wrong.append(f"{file.relative_to(root)}: includes {included} ({target} is not below {own})")
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
