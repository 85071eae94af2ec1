#!/usr/bin/env python3
"""Checks that the library's includes run one way.

The subsystems under src/ form a stack; a file may include its own folder,
the folders its rule lists and the public header, nothing else. Within a
folder no two files may include each other, directly or round a loop (a
header and its .cpp count as one module). The rules are one table, like
Chromium's DEPS files read by checkdeps: to let a folder use another, change
the table here, in the same commit as the include, and the architecture page
(doc/architecture.md) with it.

    scripts/check_includes.py [SOURCE_ROOT]

SOURCE_ROOT defaults to the library's src/. Exit status 1 lists every
include that breaks a rule or closes a loop, and every file name that two
source files of the project (SOURCE_ROOT's parent) share: one name per thing.
"""

import pathlib
import re
import sys

# Folder under src/ -> the folders its files may include besides their own,
# lowest first. Include paths are written from src/lib (common/..., ...) or
# from src/ (h264_encoder/...).
RULES = {
    "lib/common": [],
    "lib/conversion": ["lib/common"],
    "lib/decoding": ["lib/common", "lib/conversion"],
    "h264_encoder": ["lib/common", "lib/conversion", "lib/decoding"],
    "lib/abi": ["lib/common", "lib/conversion", "lib/decoding", "h264_encoder"],
}
# Every folder may include it: it is the C interface the library implements.
PUBLIC_HEADER = "vantle_video_runtime.h"
# Where the build looks up a quoted include, in order (CMakeLists.txt).
SEARCH_ROOTS = ["lib", "."]
SOURCES = {".h", ".cpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def resolve(root, source, name):
    for base in [source.parent] + [root / search for search in SEARCH_ROOTS]:
        candidate = (base / name).resolve()
        if candidate.is_file():
            return candidate.relative_to(root.resolve())
    return None


def folder_of(path):
    return path.parent.as_posix()


def module_of(path):
    return path.with_suffix("").as_posix()


def find_loop(graph):
    """One loop of the module graph as a list of modules, or None."""
    state = {}
    stack = []

    def visit(module):
        state[module] = "open"
        stack.append(module)
        for target in sorted(graph.get(module, ())):
            if state.get(target) == "open":
                return stack[stack.index(target):] + [target]
            if target not in state:
                loop = visit(target)
                if loop:
                    return loop
        stack.pop()
        state[module] = "done"
        return None

    for module in sorted(graph):
        if module not in state:
            loop = visit(module)
            if loop:
                return loop
    return None


def check(root):
    errors = []
    graph = {}
    files = sorted(p for p in root.rglob("*") if p.suffix in SOURCES)
    for source in files:
        relative = source.relative_to(root)
        folder = folder_of(relative)
        if relative.as_posix() == PUBLIC_HEADER:
            continue
        if folder not in RULES:
            errors.append(f"{relative}: folder {folder} has no rule in {pathlib.Path(__file__).name}")
            continue
        allowed = {folder, *RULES[folder]}
        for name in INCLUDE.findall(source.read_text(encoding="utf-8")):
            target = resolve(root, source, name)
            if target is None:
                errors.append(f'{relative}: "{name}" is not a file under {root}')
                continue
            if target.as_posix() == PUBLIC_HEADER:
                continue
            if folder_of(target) not in allowed:
                errors.append(f'{relative}: "{name}" runs the other way '
                              f"({folder} may include {', '.join(sorted(allowed))})")
                continue
            if module_of(target) != module_of(relative):
                graph.setdefault(module_of(relative), set()).add(module_of(target))
    loop = find_loop(graph)
    if loop:
        errors.append("modules include each other: " + " -> ".join(loop))
    return errors, len(files)


def shared_names(project):
    by_name = {}
    for path in sorted(project.rglob("*")):
        if path.suffix in SOURCES | {".c"} and path.is_file():
            by_name.setdefault(path.name, []).append(path.relative_to(project).as_posix())
    return [f"{name} names {len(paths)} files: {', '.join(paths)}"
            for name, paths in by_name.items() if len(paths) > 1]


def main():
    here = pathlib.Path(__file__).resolve().parent
    default = here.parent / "engine/plugins/modality/vantle-video-runtime/src"
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    errors, count = check(root)
    errors += shared_names(root.parent)
    for error in errors:
        print(error, file=sys.stderr)
    if errors:
        return 1
    print(f"includes: {count} files under {root} follow the rules; no two source files share a name")
    return 0


if __name__ == "__main__":
    sys.exit(main())
