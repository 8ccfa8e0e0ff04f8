"""List the include cycles among the C++ sources under src/.

A file and its header are one unit (``tree/split_search.hpp`` and ``tree/split_search.cpp``
are ``tree/split_search``): unit A depends on unit B when any file of A includes B's header.
A cycle among units means neither can be read, built or tested without the other. Prints
every strongly connected group of more than one unit (and every header that includes
itself through others) and exits 1 when there is one.

Usage: python scripts/include_cycles.py [SRC_DIR]
"""

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def include_graph(src, unit_of):
    """Unit -> the units it includes, for every C++ file under src (unit_of names a file's
    unit from its path relative to src)."""
    graph = {}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp", ".h", ".cc"):
            continue
        node = unit_of(path.relative_to(src))
        edges = graph.setdefault(node, set())
        for target in INCLUDE.findall(path.read_text()):
            if (src / target).exists():
                dep = unit_of(Path(target))
                if dep != node:
                    edges.add(dep)
    return graph


def strongly_connected(graph):
    """Tarjan's algorithm, iterative; groups of more than one node, each sorted."""
    index, low, on_stack, stack, groups = {}, {}, set(), [], []
    for root in sorted(graph):
        if root in index:
            continue
        work = [(root, iter(sorted(graph[root])))]
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = len(index)
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph.get(child, ())))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.append(member)
                    if member == node:
                        break
                if len(group) > 1:
                    groups.append(sorted(group))
    return sorted(groups)


def report(title, graph):
    groups = strongly_connected(graph)
    print(f"{title}: {len(groups)} cycle(s)")
    for group in groups:
        members = set(group)
        print("  " + ", ".join(group))
        for node in group:
            inside = sorted(graph[node] & members)
            print(f"    {node} -> {', '.join(inside)}")
    return len(groups)


def unit_of(path):
    return str(path.with_suffix(""))


def main():
    src = Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    found = report("units (header + source)", include_graph(src, unit_of))
    found += report("files", include_graph(src, str))
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
