"""The package's imports run one way: the modules that a module imports as it loads never
import it back, directly or through others (a cycle makes the result depend on which
module a program happens to import first)."""

import ast
import pathlib

import sarv

PACKAGE = pathlib.Path(sarv.__file__).parent


def _modules():
    found = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def _imported_by(node, package, modules):
    """The names an import statement imports (for `from X import y`: X.y when that is a
    module of the package, else X)."""
    if isinstance(node, ast.Import):
        return [alias.name for alias in node.names]
    base = node.module or ""
    if node.level:
        anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
        base = ".".join(anchor + ([base] if base else []))
    return [base + "." + alias.name if base + "." + alias.name in modules else base for alias in node.names]


def _loaded_with(name, path, modules):
    """The package's modules that `name` imports while it loads: its imports outside
    functions and outside `if TYPE_CHECKING:`."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]

    def module_of(target):
        while target and target not in modules:
            target = target.rpartition(".")[0]
        return target

    def walk(node):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
                continue
            if isinstance(child, ast.If) and "TYPE_CHECKING" in ast.dump(child.test):
                yield from (target for branch in child.orelse for target in walk(ast.Module([branch], [])))
                continue
            if isinstance(child, (ast.Import, ast.ImportFrom)):
                yield from _imported_by(child, package, modules)
            yield from walk(child)

    tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
    return {module_of(target) for target in walk(tree)} - {name, ""}


def test_the_package_imports_have_no_cycle():
    modules = _modules()
    assert {"sarv", "sarv.config", "sarv.exceptions", "sarv.store"} <= set(modules)
    graph = {name: _loaded_with(name, path, modules) for name, path in modules.items()}
    assert graph["sarv.exceptions"] == set()  # the bottom: anything may import it
    assert "sarv.exceptions" in graph["sarv.config"]  # (imports are found at all)

    done, stack = set(), []

    def visit(name):
        if name in stack:
            return stack[stack.index(name) :] + [name]
        if name in done:
            return None
        stack.append(name)
        for target in sorted(graph[name]):
            cycle = visit(target)
            if cycle:
                return cycle
        stack.pop()
        done.add(name)
        return None

    for name in sorted(graph):
        cycle = visit(name)
        assert cycle is None, "import cycle: " + " -> ".join(cycle)
