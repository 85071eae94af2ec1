#!/usr/bin/env python3
"""Checks the facts in the guides that the code can make false.

- Every function the public header exports is named in the host guide.
- Every relative link, and every path in backticks that names a file of the
  tree, in README.md and doc/*.md points at something that exists.
- The library's internal headers that the programs around it include
  (support/, bench/, tools/) are the ones README.md names.
- The version is one: CMake's project version, the Python package's
  (pyproject.toml and __version__), the version line the header shows, and
  the package requires no newer library than this one.

    scripts/check_docs.py

Exit status 1 lists every fact that no longer holds.
"""

import pathlib
import re
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
PLUGIN = REPO / "engine/plugins/modality/vantle-video-runtime"
HEADER = PLUGIN / "src/vantle_video_runtime.h"
GUIDES = [REPO / "README.md", *sorted((REPO / "doc").glob("*.md"))]
# Where a path in backticks may start: the checkout, the plugin, its sources
# (include paths are written from src/ or src/lib), the Python package.
PATH_ROOTS = [REPO, PLUGIN, PLUGIN / "src", PLUGIN / "src/lib", REPO / "python"]
# Installed paths name what the build makes, not a file of the tree.
INSTALLED = ("include/", "lib/")
# A path in backticks: folders and a file name with a known ending.
PATH = re.compile(r"`((?:[\w.-]+/)+[\w.-]+\.(?:h|c|cpp|py|sh|md|cmake|txt|map|toml))`")
LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")
EXPORT = re.compile(r"VANTLE_VIDEO_RUNTIME_API\s+[\w\s*]*?\b(vantle_video_runtime_\w+)\s*\(")
INTERNAL = re.compile(r'^\s*#\s*include\s+"((?:common|conversion|decoding|abi)/[^"]+)"', re.MULTILINE)


def exports_named_in_host_guide():
    guide = (REPO / "doc/host-guide.md").read_text(encoding="utf-8")
    exports = EXPORT.findall(HEADER.read_text(encoding="utf-8"))
    if not exports:
        return ["no export found in the public header: the pattern is stale"]
    return [f"doc/host-guide.md: the export {name} is named nowhere"
            for name in exports if not re.search(rf"\b{name}\b", guide)]


def paths_exist():
    errors = []
    for guide in GUIDES:
        text = guide.read_text(encoding="utf-8")
        where = guide.relative_to(REPO)
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue
            if not (guide.parent / target).exists():
                errors.append(f"{where}: the link {target} points at nothing")
        for path in PATH.findall(text):
            if path.startswith(INSTALLED):
                continue
            if not any((root / path).exists() for root in PATH_ROOTS + [guide.parent]):
                errors.append(f"{where}: `{path}` is not a file of the tree")
    return errors


def internals_named_in_readme():
    used = set()
    for folder in ("support", "bench", "tools"):
        for source in (PLUGIN / folder).rglob("*"):
            if source.suffix in {".h", ".cpp", ".c"}:
                used.update(INTERNAL.findall(source.read_text(encoding="utf-8")))
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    return [f"README.md: support/, bench/ or tools/ include {name}, which it does not name"
            for name in sorted(used) if f"`{name}`" not in readme]


def one_version():
    cmake = re.search(r"project\(\w+ VERSION (\d+)\.(\d+)\.(\d+)",
                      (REPO / "CMakeLists.txt").read_text(encoding="utf-8"))
    version = ".".join(cmake.groups())
    found = {
        "python/pyproject.toml": re.search(r'^version = "([^"]+)"',
                                           (REPO / "python/pyproject.toml").read_text(encoding="utf-8"),
                                           re.MULTILINE),
        "python/vantle_video/__init__.py": re.search(
            r'^__version__ = "([^"]+)"',
            (REPO / "python/vantle_video/__init__.py").read_text(encoding="utf-8"), re.MULTILINE),
        "the header's version line": re.search(r"vantle-video-runtime (\d+\.\d+\.\d+) \(",
                                               HEADER.read_text(encoding="utf-8")),
    }
    errors = [f"{where}: version {match.group(1) if match else 'missing'}, CMake says {version}"
              for where, match in found.items() if not match or match.group(1) != version]
    minimum = re.search(r"^MINIMUM_MINOR = (\d+)",
                        (REPO / "python/vantle_video/_library.py").read_text(encoding="utf-8"),
                        re.MULTILINE)
    if not minimum or int(minimum.group(1)) > int(cmake.group(2)):
        errors.append(f"python/vantle_video/_library.py: MINIMUM_MINOR asks for more than {version}")
    return errors


def main():
    errors = (exports_named_in_host_guide() + paths_exist() + internals_named_in_readme() +
              one_version())
    for error in errors:
        print(error, file=sys.stderr)
    if errors:
        return 1
    print(f"docs: {len(GUIDES)} guides agree with the tree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
