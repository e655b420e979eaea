#!/usr/bin/env python3
"""The README's table of contents lists every section and subsection, in order, each linked to the
anchor GitHub gives its heading, and nothing else.
    tests/scripts/readme_test.py [README]"""
import re
import sys
from pathlib import Path

README = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[2] / "README.md"


def anchor(heading):
    """GitHub's anchor of a heading: lower case, only letters, digits, spaces, '-' and '_', spaces as '-'."""
    return re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")


def headings(lines):
    """The ## and ### headings outside code, with their level."""
    found = []
    fenced = False
    for line in lines:
        if line.startswith("```"):
            fenced = not fenced
        match = re.match(r"(##|###) (.+)", line)
        if match and not fenced and not line.startswith("    "):
            found.append((len(match.group(1)), match.group(2).strip()))
    return found


def main():
    lines = README.read_text(encoding="utf-8").splitlines()
    sections = [entry for entry in headings(lines) if entry[1] != "Contents"]
    try:
        start = lines.index("## Contents")
    except ValueError:
        print("FAIL: the README has no '## Contents' section")
        return 1
    listed = []
    for line in lines[start + 1:]:
        if line.startswith("#"):
            break
        match = re.match(r"( *)- \[(.+)\]\(#([^)]+)\)$", line)
        if match:
            listed.append((2 + len(match.group(1)) // 2, match.group(2), match.group(3)))
    failures = 0
    expected = [(level, text, anchor(text)) for level, text in sections]
    if listed != expected:
        failures += 1
        print("FAIL: the contents do not list the headings in order")
        for entry in expected:
            if entry not in listed:
                print("  missing or wrong:", entry)
        for entry in listed:
            if entry not in expected:
                print("  listed but no such heading:", entry)
    first_section = next(index for index, line in enumerate(lines) if line.startswith("## "))
    if first_section != start:
        failures += 1
        print("FAIL: the contents are not the first section")
    print(f"{len(listed)} entries checked against {len(sections)} headings")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
