"""The package's modules depend one way: no import cycles, the library never imports its command
line, the adjustment arithmetic never imports HQ, and no module takes another's private names.
Read from the sources (every import, those inside functions too), not by importing them."""
import ast
import pathlib

import pytest

import pelmora

# The sources of the pelmora under test: the checkout's, or the installed wheel's.
ROOT = pathlib.Path(pelmora.__file__).parent


def module_name(path):
    parts = list(path.relative_to(ROOT.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


SOURCES = {module_name(p): p for p in sorted(ROOT.rglob("*.py"))}
PACKAGES = {module_name(p) for p in ROOT.rglob("__init__.py")}
# Compiled modules, named by their stubs.
MODULES = set(SOURCES) | {module_name(p) for p in ROOT.rglob("*.pyi")}


class Import:
    """One import of a pelmora module: where, what, whether at module level, and the names
    taken from it (None for the module itself, bound to `local`)."""

    def __init__(self, source, line, target, top, names, local=None):
        self.source, self.line, self.target, self.top = source, line, target, top
        self.names, self.local = names, local

    def __repr__(self):
        return f"{self.source}:{self.line} -> {self.target}"


def _type_checking(node):
    return isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test)


def _walk(node, top):
    """(statement, at module level) of every import under `node`, leaving out those only
    type checkers see."""
    for child in ast.iter_child_nodes(node):
        if _type_checking(child):
            continue
        if isinstance(child, (ast.Import, ast.ImportFrom)):
            yield child, top
        inner = top and not isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef,
                                               ast.Lambda))
        yield from _walk(child, inner)


def imports(name):
    path = SOURCES[name]
    package = name if name in PACKAGES else name.rpartition(".")[0]
    for node, top in _walk(ast.parse(path.read_text()), True):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.split(".")[0] == "pelmora":
                    yield Import(name, node.lineno, alias.name, top, None, alias.asname)
            continue
        base = package
        for _ in range(node.level - 1):
            base = base.rpartition(".")[0]
        target = (f"{base}.{node.module}" if node.module else base) if node.level else node.module
        if target.split(".")[0] != "pelmora":
            continue
        plain = []
        for alias in node.names:
            if f"{target}.{alias.name}" in MODULES:  # from package import module
                yield Import(name, node.lineno, f"{target}.{alias.name}", top, None,
                             alias.asname or alias.name)
            else:
                plain.append(alias.name)
        if plain:
            yield Import(name, node.lineno, target, top, plain)


EDGES = [edge for name in SOURCES for edge in imports(name)]


def library(name):
    return not (name == "pelmora.cli" or name.startswith("pelmora.cli.")
                or name.endswith("__main__"))


def test_the_sources_are_read():
    # A reader that found nothing would pass every check below.
    assert {"pelmora.hq.client", "pelmora.adjust", "pelmora.cli"} <= set(SOURCES)
    assert any(e.source == "pelmora.hq.client" and e.target == "pelmora.fetch" for e in EDGES)
    assert any(not e.top for e in EDGES)


def cycles(edges):
    """The modules on an import cycle of `edges`, as the first cycle found."""
    graph = {}
    for e in edges:
        if e.target in SOURCES and e.target != e.source:
            graph.setdefault(e.source, set()).add(e.target)
    state = {}

    def visit(node, path):
        state[node] = "open"
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, path + [nxt])
                if found:
                    return found
        state[node] = "done"
        return None
    for node in sorted(graph):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def test_no_import_cycles():
    assert cycles([e for e in EDGES if e.top]) is None


def test_the_librarys_imports_inside_functions_point_down():
    # Put off to keep pandas out of `import pelmora`, not to hide a cycle. The command line's
    # demo runs the tool itself (pelmora.cli.main), by design.
    assert cycles([e for e in EDGES if library(e.source)]) is None


def test_the_cycle_finder_finds_one():
    made = [Import("pelmora.fetch", 1, "pelmora.frames", True, None),
            Import("pelmora.frames", 1, "pelmora.fetch", True, None)]
    assert cycles(made) == ["pelmora.fetch", "pelmora.frames", "pelmora.fetch"]


def test_the_library_never_imports_the_command_line():
    assert [e for e in EDGES if library(e.source) and not library(e.target)] == []


def test_the_adjustment_imports_nothing_of_hq():
    assert [e for e in EDGES if e.source == "pelmora.adjust"
            and (e.target == "pelmora.hq" or e.target.startswith("pelmora.hq."))] == []


def private(name):
    return name.startswith("_") and not name.startswith("__")


def test_no_module_imports_anothers_private_names():
    # A private module (pelmora._engine) is imported whole; a private name of a module is not.
    taken = [(e, n) for e in EDGES for n in e.names or () if private(n)]
    assert taken == []


@pytest.mark.parametrize("name", sorted(SOURCES))
def test_no_module_uses_anothers_private_names(name):
    bound = {e.local for e in imports(name) if e.local and e.target in SOURCES}
    used = [f"{n.value.id}.{n.attr}" for n in ast.walk(ast.parse(SOURCES[name].read_text()))
            if isinstance(n, ast.Attribute) and isinstance(n.value, ast.Name)
            and n.value.id in bound and private(n.attr)]
    assert used == []


@pytest.mark.parametrize("old, new, names", [
    ("pelmora.hq", "pelmora.hq.client", ["HQ"]),
    ("pelmora.hq", "pelmora.hq.paging", ["count_pages"]),
    ("pelmora.local_files", "pelmora.files", ["read_day_frame", "read_minute_frame",
                                              "read_vipdoc", "find_files", "price_divisor",
                                              "symbol_of_file", "between", "PERIOD_FILES"]),
    ("pelmora.adjust", "pelmora.events", ["xdxr_frame", "finance_frame", "xdxr_columns_frame",
                                          "single_decimal", "SINGLE_KEYS"]),
    ("pelmora.adjust", "pelmora.methods", ["METHODS", "check_method"]),
    ("pelmora.symbols", "pelmora.periods", ["PERIODS", "PERIOD_ALIASES", "DAILY_CATEGORIES",
                                            "period_name", "parse_period"]),
])
def test_names_users_were_pointed_to_keep_their_old_paths(old, new, names):
    import importlib
    was, now = importlib.import_module(old), importlib.import_module(new)
    assert [n for n in names if getattr(was, n, None) is not getattr(now, n)] == []
