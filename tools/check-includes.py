#!/usr/bin/env python3
"""Fails when an include of the tree goes against the order of its layers.

The folders of update-helper/ form one stack; a file may include headers of its own folder
and of folders below it, never of one above:

    control -> eventlog -> store -> install -> staging -> common

platform/ sits below all of them and includes nothing of update-helper/ or meeting-helper/;
meeting-helper/ (with its sound-server layer platform/audio/) and update-helper/ include
nothing of each other. client/ talks to the update helper only through files, exit codes
and signals: of the tree it includes only its own headers and the header-only descriptor
and errno types of platform/. Tests follow the same
rules as the code beside them. Usage: check-includes.py [SOURCE-DIR]
"""

import pathlib
import re
import sys

# Highest layer first.
ORDER = ["control", "eventlog", "store", "install", "staging", "common"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCES = (".h", ".cc")


def layer(path):
    """The (deliverable, folder) a path of the tree belongs to, or None outside the checked ones."""
    parts = pathlib.PurePosixPath(path).parts
    if len(parts) >= 2 and parts[0] == "update-helper" and parts[1] in ORDER:
        return ("update-helper", parts[1])
    # The sound-server layer in platform/audio/ is built into the meeting helper alone.
    if len(parts) >= 2 and parts[0] == "platform" and parts[1] == "audio":
        return ("meeting-helper", None)
    if parts and parts[0] in ("platform", "meeting-helper"):
        return (parts[0], None)
    return None


CLIENT_MAY_INCLUDE = ("platform/unique_fd.h", "platform/errno_error.h", "testing/test_support.h")


def violation(source, header):
    """Why `source` must not include `header`, or None when it may."""
    if source.startswith("client/"):
        if header.startswith("client/") or header in CLIENT_MAY_INCLUDE:
            return None
        return "client/ shares no code with the helpers"
    own, wanted = layer(source), layer(header)
    if own is None or wanted is None or own == wanted:
        return None
    if own[0] == "platform":
        return "platform/ includes nothing above it"
    if own[0] != wanted[0] and wanted[0] != "platform":
        return f"{own[0]}/ and {wanted[0]}/ share no code"
    if own[0] == "update-helper" and wanted[0] == "update-helper":
        if ORDER.index(wanted[1]) < ORDER.index(own[1]):
            return f"{own[1]}/ is below {wanted[1]}/ ({' -> '.join(ORDER)})"
    return None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    problems = []
    for top in ("update-helper", "platform", "meeting-helper", "client"):
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in SOURCES or not path.is_file():
                continue
            source = path.relative_to(root).as_posix()
            text = path.read_text(encoding="utf-8", errors="replace")
            for header in INCLUDE.findall(text):
                reason = violation(source, header)
                if reason:
                    problems.append(f"{source}: includes {header}: {reason}")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"{len(problems)} include(s) against the layer order", file=sys.stderr)
        return 1
    print("includes follow the layer order: " + " -> ".join(ORDER) + " -> platform")
    return 0


if __name__ == "__main__":
    sys.exit(main())
