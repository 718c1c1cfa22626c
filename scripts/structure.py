#!/usr/bin/env python3
"""The structure of src/: the includes between modules, the largest files and the longest functions.

    scripts/structure.py [--top N] [--root CHECKOUT]

A function is counted from the line that opens its body to the line that closes it; a body opens with a
'{' at the end of a line at namespace level (column 0, or below a namespace) and closes at the matching
'}'. Good enough for this tree's one clang-format style; it reads text, it does not parse C++.
"""
import argparse
import collections
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
INCLUDE = re.compile(r'^\s*#include\s+"([a-z]+)/')
SIGNATURE = re.compile(r"^[A-Za-z_~][^;{}()]*\([^;{}]*\)[^;{}=]*\{\s*$")


def modules():
    return sorted(p.name for p in SRC.iterdir() if p.is_dir())


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".h", ".c") and p.is_file())


def module_of(path):
    return path.relative_to(SRC).parts[0]


def include_graph():
    edges = collections.Counter()
    for path in sources():
        for line in path.read_text(errors="replace").splitlines():
            match = INCLUDE.match(line)
            if match and match.group(1) != module_of(path):
                edges[(module_of(path), match.group(1))] += 1
    return edges


def functions(path):
    lines = path.read_text(errors="replace").splitlines()
    found = []
    i = 0
    while i < len(lines):
        line = lines[i]
        # A signature that wraps: its lines joined until the parentheses balance.
        first = i
        while line[:1].isalpha() and line.count("(") > line.count(")") and i + 1 < len(lines):
            i += 1
            line += " " + lines[i].strip()
        if SIGNATURE.match(line) and not line.startswith(("namespace", "struct", "class", "enum", "union")):
            depth = 0
            for j in range(i, len(lines)):
                depth += lines[j].count("{") - lines[j].count("}")
                if depth <= 0:
                    name = line.split("(")[0].split()[-1] if line.split("(")[0].split() else line
                    found.append((j - first + 1, name, first + 1))
                    i = j
                    break
        i += 1
    return found


def main():
    global ROOT, SRC
    parser = argparse.ArgumentParser()
    parser.add_argument("--top", type=int, default=10)
    parser.add_argument("--root", type=pathlib.Path, default=ROOT)
    options = parser.parse_args()
    top = options.top
    ROOT = options.root.resolve()
    SRC = ROOT / "src"

    print("includes between modules (from -> to: count)")
    for (source, target), count in sorted(include_graph().items()):
        print(f"  {source:8} -> {target:8} {count}")

    print(f"\nlargest files (lines)")
    sizes = sorted(((len(p.read_text(errors='replace').splitlines()), p) for p in sources()), reverse=True)
    for size, path in sizes[:top]:
        print(f"  {size:5}  {path.relative_to(ROOT)}")

    print(f"\nlongest functions (lines)")
    everything = [(n, name, path, line) for path in sources() for n, name, line in functions(path)]
    for n, name, path, line in sorted(everything, key=lambda f: -f[0])[:top]:
        print(f"  {n:5}  {name}  {path.relative_to(ROOT)}:{line}")


if __name__ == "__main__":
    main()
