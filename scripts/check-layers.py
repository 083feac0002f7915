#!/usr/bin/env python3
"""Checks the layers of src/ (docs and DESIGN): each module may include only itself, the
header-only base and the modules listed for it below; url/, the address module, sits below every
module that reads addresses. Tests beside a module may also use the test support. Prints every
include that crosses a layer the wrong way.

The build enforces the same rule: a library sees only its own header folder and those of the
libraries it links. With --build LAYERS (the build's layers.txt: for each target of a module, the
header folders it compiles with) it also prints every difference between what the table allows and
what the build allows. Exit status 1 when anything was printed.

    check-layers.py [SOURCE_ROOT] [--build LAYERS]
"""
import pathlib
import re
import sys

ALLOWED = {
    "base": set(),
    "url": set(),
    "archive": {"url"},
    "mapping": {"url"},
    "engine/cookies": {"url"},
    "engine": {"archive", "engine/cookies", "url"},
    "offline": {"url"},
    "crawl": {"url"},
    "engine/static": {"archive", "engine", "engine/cookies", "offline", "url"},
    "engine/chromium": {"archive", "engine", "engine/cookies", "url"},
    "engine/webkit": {"archive", "engine", "engine/cookies", "mapping", "url"},
    "capture": {"archive", "engine", "engine/cookies", "mapping", "offline", "url"},
    "banner": set(),
    "app": {"archive", "banner", "capture", "engine", "engine/cookies", "engine/webkit", "mapping", "url"},
    "cli": {"archive", "capture", "crawl", "engine", "engine/cookies", "engine/static", "engine/chromium", "engine/webkit", "mapping",
            "url"},
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


def climbing_includes(root):
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
    return wrong


def build_layers(layers):
    """For each module of the build's layer list, the modules whose header folders its targets see."""
    lines = pathlib.Path(layers).read_text().splitlines()
    # The first line names the folder of the header folders: <include>/<module, "-" for "/">.
    include = pathlib.PurePath(lines[0].partition("\t")[2])
    seen = {}
    for line in lines[1:]:
        module, _, folders = line.partition("\t")
        sight = seen.setdefault(module, set())
        for folder in map(pathlib.PurePath, filter(None, folders.split(";"))):
            if folder.parent == include:
                sight.add(folder.name.replace("-", "/"))
    return seen


def table_differences(layers):
    wrong = []
    built = build_layers(layers)
    for module, sight in sorted(built.items()):
        if module not in ALLOWED:
            wrong.append(f"{module}: a module of the build without a row in the table")
            continue
        sight = {other for other in sight if other not in (module, "base")}
        for other in sorted(sight - ALLOWED[module]):
            wrong.append(f"{module}: the build lets it see {other}, the table does not")
        # A module this build leaves out (the window and the WebKit engine without a GUI) is no edge
        # the build could have made.
        for other in sorted((ALLOWED[module] & built.keys()) - sight):
            wrong.append(f"{module}: the table lets it include {other}, the build does not")
    return wrong


def main():
    args = sys.argv[1:]
    layers = None
    if "--build" in args:
        at = args.index("--build")
        layers = args[at + 1]
        del args[at : at + 2]
    root = pathlib.Path(args[0] if args else pathlib.Path(__file__).parent.parent)
    wrong = climbing_includes(root)
    if layers:
        wrong += table_differences(layers)
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
