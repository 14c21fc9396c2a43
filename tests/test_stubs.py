"""The type stubs shipped beside the extension modules agree with the modules themselves.

Each stub is read with ast (never imported) and compared with the imported module: the same functions
with the same parameter names, kinds, defaults and annotation strings, the same return annotations and
documentation strings, the same module-level data, typing aliases and re-exported package names, in both
directions. The stubs are looked up beside the imported module, so against an installed package this also
checks that the wheel ships them.
"""

import ast
import builtins
import importlib
import inspect
import math
import types
import typing
from pathlib import Path

import pytest

import vexil

MODULES = [
    "vexil.pure.quadra",
    "vexil.options",
    "vexil.model_defs.latent.steppe",
    "vexil.model_defs.latent.autoregressive",
    "vexil.model_defs.latent.spatial",
    "vexil.model_defs.latent.plexus",
    "vexil.safety.capture",
    "vexil.safety.kindred",
    "vexil.safety.exposure",
]

PACKAGE_DIR = Path(vexil.__file__).parent


def _stub_path(name):
    return PACKAGE_DIR.joinpath(*name.split(".")[1:]).with_suffix(".pyi")


def _load(name):
    """(module, parsed stub)."""
    module = importlib.import_module(name)
    path = _stub_path(name)
    assert path.is_file(), f"no stub {path} for {name}"
    return module, ast.parse(path.read_text(), filename=str(path))


def _runtime_names(module):
    """The module's names by role: own functions, data, typing aliases and names imported from other
    modules of the package; modules and names from the standard library or third parties are left out."""
    functions, data, aliases, imported = {}, {}, {}, {}
    for name, value in vars(module).items():
        if name.startswith("__") and name.endswith("__"):
            continue
        if isinstance(value, types.ModuleType) or getattr(typing, name, object()) is value:
            continue
        if inspect.isroutine(value) or isinstance(value, type):
            owner = value.__module__
            if owner == module.__name__:
                functions[name] = value
            elif owner == "vexil" or owner.startswith("vexil."):
                imported[name] = value
        elif type(value).__module__ == "typing":
            aliases[name] = value
        else:
            data[name] = value
    return functions, data, aliases, imported


def _stub_names(tree):
    functions, data, aliases, imported, plain_imports = {}, {}, {}, {}, set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            assert node.name not in functions, f"{node.name} defined twice"
            functions[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            assert node.value is None, f"{node.target.id}: data carries a type, not a value"
            data[node.target.id] = node.annotation
        elif isinstance(node, ast.Assign):
            (target,) = node.targets
            aliases[target.id] = node.value
        elif isinstance(node, ast.ImportFrom):
            for a in node.names:
                if a.asname is None:
                    plain_imports.add(a.name)
                else:
                    imported[a.asname] = (node.module, a.name)
        elif isinstance(node, ast.Import):
            plain_imports.update(a.asname or a.name.split(".")[0] for a in node.names)
        elif not (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)
                  and node is tree.body[0]):
            raise AssertionError(f"unexpected statement in stub: {ast.dump(node)[:80]}")
    return functions, data, aliases, imported, plain_imports


def _same_text(stub_node, runtime_annotation):
    """Stub annotation (ast node or None) against the runtime annotation (a string, or missing)."""
    if runtime_annotation is inspect.Parameter.empty:
        return stub_node is None
    if stub_node is None or not isinstance(runtime_annotation, str):
        return False
    return ast.unparse(stub_node) == ast.unparse(ast.parse(runtime_annotation, mode="eval").body)


def _same_default(stub_node, runtime_default):
    if runtime_default is inspect.Parameter.empty:
        return stub_node is None
    if stub_node is None:
        return False
    if isinstance(stub_node, ast.Constant) and stub_node.value is Ellipsis:
        return True  # written as "..."; only its presence is stated
    value = ast.literal_eval(stub_node)
    if type(value) is not type(runtime_default):
        return False
    if isinstance(value, float) and math.isnan(value):
        return math.isnan(runtime_default)
    return value == runtime_default


def _stub_parameters(node):
    """[(name, kind, default node or None, annotation node or None)] of a stub def, in order."""
    a = node.args
    P = inspect.Parameter
    positional = [(x, P.POSITIONAL_ONLY) for x in a.posonlyargs] + [(x, P.POSITIONAL_OR_KEYWORD) for x in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = [(x.arg, kind, d, x.annotation) for (x, kind), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, None, a.vararg.annotation))
    out += [(x.arg, P.KEYWORD_ONLY, d, x.annotation) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, None, a.kwarg.annotation))
    return out


def test_package_is_marked_typed():
    assert (PACKAGE_DIR / "py.typed").is_file()


def test_no_stub_without_a_module():
    stubs = {p.relative_to(PACKAGE_DIR) for p in PACKAGE_DIR.rglob("*.pyi")}
    assert stubs <= {_stub_path(m).relative_to(PACKAGE_DIR) for m in MODULES}


@pytest.mark.parametrize("name", MODULES)
def test_stub_functions_match_the_module(name):
    module, tree = _load(name)
    runtime, _, _, _ = _runtime_names(module)
    stub, _, _, _, _ = _stub_names(tree)
    assert list(stub) == list(runtime), "functions differ (names or order)"
    for fname, func in runtime.items():
        node = stub[fname]
        sig = inspect.signature(func)
        params = _stub_parameters(node)
        assert [(p, k) for p, k, _, _ in params] == [(p.name, p.kind) for p in sig.parameters.values()], fname
        for (pname, _, default, annotation), p in zip(params, sig.parameters.values()):
            assert _same_default(default, p.default), f"{fname}: default of {pname}"
            assert _same_text(annotation, p.annotation), f"{fname}: annotation of {pname}"
        assert _same_text(node.returns, sig.return_annotation), f"{fname}: return annotation"
        doc = ast.get_docstring(node, clean=False)
        if func.__doc__ is None:
            assert doc is None and len(node.body) == 1, f"{fname}: docstring"
        else:
            assert doc is not None, f"{fname}: docstring"
            assert inspect.cleandoc(doc) == inspect.cleandoc(func.__doc__), f"{fname}: docstring"


@pytest.mark.parametrize("name", MODULES)
def test_stub_data_and_imports_match_the_module(name):
    module, tree = _load(name)
    _, data, aliases, imported = _runtime_names(module)
    _, stub_data, stub_aliases, stub_imported, plain_imports = _stub_names(tree)
    assert ast.get_docstring(tree, clean=False) == module.__doc__

    # data: the same names, each declared with the type of its value (the outer type: dict, float, ...)
    assert set(stub_data) == set(data)
    for dname, annotation in stub_data.items():
        outer = ast.unparse(annotation.value if isinstance(annotation, ast.Subscript) else annotation)
        if outer == "None":
            assert data[dname] is None, dname
        elif outer != "Any":
            assert isinstance(data[dname], getattr(builtins, outer)), f"{dname}: {outer}"

    # aliases: the stub's expression, evaluated with the module's own names, gives the runtime object
    assert set(stub_aliases) == set(aliases)
    for aname, expr in stub_aliases.items():
        assert eval(compile(ast.Expression(expr), "<stub>", "eval"), vars(module)) == aliases[aname], aname

    # names bound from the package's other modules, both ways
    assert set(stub_imported) == set(imported)
    for local, (origin, there) in stub_imported.items():
        assert getattr(importlib.import_module(origin), there) is imported[local], local

    # every name that the stub's annotations and aliases use is bound in the stub or a builtin
    bound = set(stub_data) | set(stub_aliases) | set(stub_imported) | plain_imports
    used = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.arg, ast.AnnAssign)):
            exprs = [node.annotation]
        elif isinstance(node, ast.FunctionDef):
            exprs = [node.returns]
        elif isinstance(node, ast.Assign):
            exprs = [node.value]
        else:
            continue
        for expr in filter(None, exprs):
            used |= {n.id for n in ast.walk(expr) if isinstance(n, ast.Name)}
    assert {n for n in used if not hasattr(builtins, n)} <= bound
