#!/usr/bin/env python3
"""Checks the include lines of src/ and tools/: a module includes only modules below it, and no
files include each other in a loop (a header and its .cpp count as one unit).

Modules, lowest first; tools/ sits on top of all of them."""
import os
import re
import sys

LAYERS = ["common", "storage", "parser", "sched", "listen", "entry", "tools"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def module_of(path):
    parts = path.split("/")
    return "tools" if parts[0] == "tools" else parts[1]


def unit_of(path):
    return os.path.splitext(path)[0]


def resolve(root, source, target):
    """The included file as a path from root, or None if it is not one of ours."""
    for base in ("src", os.path.dirname(source)):
        candidate = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def read_graph(root):
    edges = {}
    problems = []
    for top in ("src", "tools"):
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if not name.endswith((".h", ".cpp")):
                    continue
                source = os.path.relpath(os.path.join(folder, name), root)
                if module_of(source) not in LAYERS:
                    problems.append(f"{source}: module {module_of(source)} has no layer")
                    continue
                with open(os.path.join(root, source), encoding="utf-8") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        target = match and resolve(root, source, match.group(1))
                        if not target:
                            continue
                        low, high = LAYERS.index(module_of(target)), LAYERS.index(module_of(source))
                        if low > high:
                            problems.append(f"{source}:{number}: includes {target}, a module above")
                        if unit_of(source) != unit_of(target):
                            edges.setdefault(unit_of(source), set()).add(unit_of(target))
    return edges, problems


def find_loop(edges):
    """One loop among the units as a list of units, or None."""
    state = {}

    def visit(unit, path):
        state[unit] = "open"
        path.append(unit)
        for target in sorted(edges.get(unit, ())):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state:
                loop = visit(target, path)
                if loop:
                    return loop
        path.pop()
        state[unit] = "done"
        return None

    for unit in sorted(edges):
        if unit not in state:
            loop = visit(unit, [])
            if loop:
                return loop
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    edges, problems = read_graph(root)
    loop = find_loop(edges)
    if loop:
        problems.append("include loop: " + " -> ".join(loop))
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
