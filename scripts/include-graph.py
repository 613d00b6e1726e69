#!/usr/bin/env python3
"""Usage: python3 scripts/include-graph.py [--dot]

Draws the #include graph between the source tree's folders: the product
rooms (src/common, src/wizard, src/install, src/config, src/dcl),
src/automation, the Windows headers (src/win32), each folder of the Win32
layer (src/platform/...), the tools, the benchmarks, the fuzz targets and
the tests. Each edge is printed with the number of #include lines behind
it, then the check: every edge must run from a higher layer to a lower one
(the order is the LAYERS table below) and no folders may include each
other round a cycle. Exit status 0 when both hold, 1 otherwise. --dot
prints the graph in Graphviz's language instead.
"""
import os
import re
import sys

# Lower to higher: a folder may include only folders of a lower rank.
LAYERS = [
    ["src/win32", "src/dcl", "res"],
    ["src/automation", "src/platform/include"],
    ["src/common", "src/platform/machine"],
    ["src/config", "src/platform/kernel32", "src/platform/progman", "src/platform/frontend"],
    ["src/install", "src/platform/advapi32", "src/platform/user32"],
    ["src/wizard", "src/platform/loader"],
    ["tools"],
    ["bench", "fuzz"],
    ["tests"],
]
RANK = {name: i for i, names in enumerate(LAYERS) for name in names}
TOP = ["src", "tools", "tests", "bench", "fuzz", "res"]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def node(path):
    """The folder a file counts in: src/ROOM, src/platform/PART, or the top folder."""
    parts = path.split("/")
    if parts[0] == "src" and len(parts) > 2:
        if parts[1] == "platform" and len(parts) > 3:
            return "/".join(parts[:3])
        return "/".join(parts[:2])
    return parts[0]


def main():
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    files = []
    for top in TOP:
        for d, _, names in os.walk(top):
            files += [os.path.join(d, n) for n in names if n.endswith((".h", ".cpp", ".c"))]
    known = set(files)
    # An include is found beside the file, else under the one file whose path
    # ends in it (src/win32/include/windows.h for <windows.h>); system
    # headers match nothing.
    by_tail = {}
    for f in files:
        parts = f.split("/")
        for i in range(len(parts)):
            by_tail.setdefault("/".join(parts[i:]), []).append(f)
    edges = {}
    for f in files:
        with open(f, encoding="utf-8", errors="replace") as src:
            for line in src:
                m = INCLUDE.match(line)
                if not m:
                    continue
                beside = os.path.normpath(os.path.join(os.path.dirname(f), m.group(1)))
                found = [beside] if beside in known else by_tail.get(m.group(1), [])
                if len(found) != 1:
                    continue
                a, b = node(f), node(found[0])
                if a != b:
                    edges[(a, b)] = edges.get((a, b), 0) + 1
    if "--dot" in sys.argv[1:]:
        print("digraph includes {")
        for (a, b), n in sorted(edges.items()):
            print(f'  "{a}" -> "{b}" [label={n}];')
        print("}")
        return 0
    bad = 0
    for (a, b), n in sorted(edges.items()):
        ra, rb = RANK.get(a), RANK.get(b)
        ok = ra is not None and rb is not None and ra > rb
        bad += not ok
        print(f"{a:24} -> {b:24} {n:4}{'' if ok else '   UPWARD (or a folder not in LAYERS)'}")
    # Cycles: Tarjan's strongly connected components.
    graph = {}
    for a, b in edges:
        graph.setdefault(a, []).append(b)
        graph.setdefault(b, [])
    index, low, stack, on, cycles = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in graph[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            scc = []
            while True:
                w = stack.pop()
                on.discard(w)
                scc.append(w)
                if w == v:
                    break
            if len(scc) > 1:
                cycles.append(sorted(scc))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    for c in cycles:
        print("cycle between: " + ", ".join(c))
    print(f"{len(edges)} edges between {len(graph)} folders: {bad} upward, {len(cycles)} cycles")
    return 1 if bad or cycles else 0


if __name__ == "__main__":
    if sys.argv[1:] and sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        sys.exit(0)
    sys.exit(main())
