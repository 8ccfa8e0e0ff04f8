"""Print the import cycles among the modules of the Python package.

Every ``import`` statement counts, wherever it stands: at module level, inside a function
(deferred until the call) or under ``if TYPE_CHECKING`` (seen by type checkers only). A
deferred import hides a cycle from the interpreter but not from a reader, so it is reported
too; each edge of a cycle is marked with the kind of the statement that makes it.

Usage: ``python scripts/import_cycles.py [package_dir]`` (default ``python/vorlent``);
the exit status is 1 when there is a cycle.
"""

from __future__ import annotations

import ast
import pathlib
import sys


def module_names(root: pathlib.Path) -> dict[str, pathlib.Path]:
    """Dotted module name -> source file, for every ``.py`` file under the package ``root``."""
    names = {}
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root.parent).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        names[".".join(parts)] = path
    return names


def _is_type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def _statements(tree: ast.Module):
    """(import statement, kind) pairs; kind is "top", "deferred" or "typing"."""

    def walk(node, kind):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.Import | ast.ImportFrom):
                yield child, kind
            elif isinstance(child, ast.If) and _is_type_checking(child.test):
                for part in child.body:
                    yield from walk(ast.Module(body=[part], type_ignores=[]), "typing")
                for part in child.orelse:
                    yield from walk(ast.Module(body=[part], type_ignores=[]), kind)
            elif isinstance(child, ast.FunctionDef | ast.AsyncFunctionDef | ast.Lambda):
                yield from walk(child, "deferred")
            else:
                yield from walk(child, kind)

    yield from walk(tree, "top")


def _targets(statement, module: str, is_package: bool, known) -> list[str]:
    """The package's modules that ``statement`` in ``module`` imports."""
    if isinstance(statement, ast.Import):
        return [alias.name for alias in statement.names if alias.name in known]
    if statement.level == 0:
        base = statement.module or ""
    else:
        package = module.split(".") if is_package else module.split(".")[:-1]
        package = package[: len(package) - (statement.level - 1)]
        base = ".".join(package + ([statement.module] if statement.module else []))
    found = []
    for alias in statement.names:
        submodule = f"{base}.{alias.name}"
        if submodule in known:
            found.append(submodule)  # `from . import _io`: the submodule itself
        elif base in known:
            found.append(base)  # `from ._io import load_model`: a name of the module
    return found


def import_graph(root: pathlib.Path) -> dict[str, dict[str, str]]:
    """module -> {imported module: kind of the first statement importing it}."""
    files = module_names(root)
    graph = {}
    for module, path in files.items():
        edges = graph.setdefault(module, {})
        tree = ast.parse(path.read_text(), str(path))
        for statement, kind in _statements(tree):
            for target in _targets(statement, module, path.name == "__init__.py", files):
                if target != module:
                    edges.setdefault(target, kind)
    return graph


def cycles(graph: dict[str, dict[str, str]]) -> list[list[str]]:
    """The strongly connected components with more than one module (Tarjan), sorted."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for target in graph[node]:
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return sorted(found)


def main(argv: list[str]) -> int:
    root = pathlib.Path(argv[1] if len(argv) > 1 else "python/vorlent")
    graph = import_graph(root)
    found = cycles(graph)
    for component in found:
        members = set(component)
        print("cycle: " + ", ".join(component))
        for module in component:
            for target, kind in sorted(graph[module].items()):
                if target in members:
                    print(f"    {module} -> {target} ({kind})")
    edges = sum(len(targets) for targets in graph.values())
    print(f"{len(graph)} modules, {edges} imports between them, {len(found)} cycle(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
