"""Writes the type stubs (.pyi) of vexil's extension modules from the built modules themselves.

    PYTHONPATH=build/dev python scripts/gen_stubs.py [--check] [module ...]

Each stub is written beside the module's place in the source tree (python/vexil/options.pyi for
vexil.options, ...), from what the imported module reports at run time:
- the module's documentation string;
- every function the module defines, with its parameters (names, kinds, defaults), the annotation
  strings the function carries, its return annotation and its documentation string;
- module-level data, typed by its value (MODELS: dict[str, dict[str, Any]], _EPS: float, ...), and
  module-level typing aliases (ArrayLike = Union[...]) as aliases;
- names the module imports from the package's own modules (SafetyError, the checks that capture binds,
  ...), re-exported so that a type checker sees them as attributes of the module, as they are.
Modules and names imported from the standard library or third-party packages appear only as the imports
the stub itself needs for its annotations.

Defaults are written as literals when they are None, a bool, an int, a finite float or a short str, and
as ``...`` otherwise. --check writes nothing and exits with status 1 when a stub on disk differs from what
would be written. Modules that cannot be imported (not built yet) are reported and skipped.
"""

from __future__ import annotations

import argparse
import ast
import builtins
import importlib
import inspect
import math
import sys
import types
import typing
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_PACKAGE = ROOT / "python"

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

HEADER = (
    "# Type stub of the extension module {name}.\n"
    "# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.\n"
)
INDENT = "    "


def is_routine(value) -> bool:
    return inspect.isroutine(value) and callable(value)


def is_typing_alias(value) -> bool:
    """A typing construct such as Union[np.ndarray, List[float]] (not a plain class)."""
    return type(value).__module__ == "typing" and not isinstance(value, type)


def classify(module: types.ModuleType):
    """Splits the module's names into (functions, data, aliases, reexports) in binding order; modules and
    names imported from outside the package are left out (the stub imports what it needs itself)."""
    functions, data, aliases, reexports = [], [], [], []
    for name, value in vars(module).items():
        if name.startswith("__") and name.endswith("__"):
            continue
        if isinstance(value, types.ModuleType):
            continue
        if getattr(typing, name, object()) is value:
            continue  # a typing name imported as is (Dict, Optional, Any, ...)
        owner = getattr(value, "__module__", None) if (is_routine(value) or isinstance(value, type)) else None
        if owner is not None:
            if owner == module.__name__:
                if not is_routine(value):
                    raise SystemExit(f"{module.__name__}.{name}: module-level classes are not handled")
                functions.append((name, value))
            elif owner == "vexil" or owner.startswith("vexil."):
                reexports.append((name, owner, value))
            continue  # imported from the standard library or a third-party package
        if is_typing_alias(value):
            aliases.append((name, value))
        else:
            data.append((name, value))
    return functions, data, aliases, reexports


def import_origin(owner: str, name: str, value) -> tuple[str, str]:
    """(module, name there) to import the object bound as ``name`` from: its home module, under the
    name that module binds it to (options binds vexil.utils.orvo_anyMultibyteUTF8Characters as _any_mb)."""
    home = sys.modules.get(owner)
    if home is not None:
        if getattr(home, name, None) is value:
            return owner, name
        for other, obj in vars(home).items():
            if obj is value:
                return owner, other
    raise SystemExit(f"cannot tell where {name!r} (from {owner}) is importable from")


def value_type(value, depth: int = 0) -> str:
    """The annotation of a module-level data value: containers are parameterised two levels deep
    (MODELS: dict[str, dict[str, Any]]), below that their items are Any."""
    if value is None:
        return "None"
    for t in (bool, int, float, complex, str, bytes):  # numpy's float64 is a float, for one
        if isinstance(value, t):
            return t.__name__

    def common(items) -> str:
        kinds = {value_type(v, depth + 1) for v in items} if depth < 2 else {"Any"}
        return kinds.pop() if len(kinds) == 1 else "Any"

    if type(value) is dict:
        if not value:
            return "dict[str, Any]"
        return f"dict[{common(value)}, {common(value.values())}]"
    if type(value) in (list, set, frozenset):
        return f"{type(value).__name__}[{common(value) if value else 'Any'}]"
    if type(value) is tuple:
        return f"tuple[{common(value) if value else 'Any'}, ...]"
    t = type(value)
    return t.__name__ if t.__module__ == "builtins" else "Any"


def alias_text(value, module: types.ModuleType) -> str:
    """Source text of a typing alias, written with the names the module itself binds (np.ndarray, List)."""
    text = repr(value).replace("typing.", "")
    for name, mod in vars(module).items():
        if isinstance(mod, types.ModuleType) and mod.__name__ != name:
            text = text.replace(mod.__name__ + ".", name + ".")
    ast.parse(text, mode="eval")
    return text


def annotation_text(annotation, module: types.ModuleType) -> str | None:
    if annotation is inspect.Parameter.empty or annotation is inspect.Signature.empty:
        return None
    if isinstance(annotation, str):
        ast.parse(annotation, mode="eval")
        return annotation
    if isinstance(annotation, type):
        return annotation.__name__ if annotation.__module__ == "builtins" else alias_text(annotation, module)
    if annotation is None:
        return "None"
    return alias_text(annotation, module)


def default_text(value) -> str:
    if value is None or type(value) is bool:
        return repr(value)
    if type(value) is int and abs(value) < 10**12:
        return repr(value)
    if type(value) is float and math.isfinite(value):
        return repr(value)
    if type(value) is str and len(value) <= 40 and value.isprintable():
        return repr(value)
    return "..."


def docstring_text(doc: str, indent: str) -> str:
    """A triple-quoted literal whose value, after inspect.cleandoc, equals cleandoc(doc); for a module
    docstring (no indent) the value is doc itself."""
    body = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if body.endswith('"'):
        body = body[:-1] + '\\"'
    if indent:
        lines = body.split("\n")
        lines = [lines[0]] + [indent + line if line else line for line in lines[1:]]
        if len(lines) > 1 and not lines[-1].strip():
            lines[-1] = indent  # the closing quotes line up with the text
        body = "\n".join(lines)
    return f'{indent}"""{body}"""'


def function_text(name: str, func, module: types.ModuleType) -> str:
    sig = inspect.signature(func)
    parts: list[str] = []
    star_done = False
    for p in sig.parameters.values():
        if p.kind is p.KEYWORD_ONLY and not star_done:
            parts.append("*")
            star_done = True
        if p.kind is p.VAR_POSITIONAL:
            star_done = True
        prefix = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        text = prefix + p.name
        ann = annotation_text(p.annotation, module)
        if ann is not None:
            text += f": {ann}"
        if p.default is not p.empty:
            text += (" = " if ann is not None else "=") + default_text(p.default)
        parts.append(text)
        if p.kind is p.POSITIONAL_ONLY:
            nxt = list(sig.parameters.values())
            i = nxt.index(p)
            if i + 1 == len(nxt) or nxt[i + 1].kind is not p.POSITIONAL_ONLY:
                parts.append("/")
    ret = annotation_text(sig.return_annotation, module)
    head = f"def {name}({', '.join(parts)})" + (f" -> {ret}" if ret is not None else "") + ":"
    doc = getattr(func, "__doc__", None)
    if doc is None:
        return head + " ..."
    return head + "\n" + docstring_text(doc, INDENT)


def names_used(expressions: list[str]) -> set[str]:
    used = set()
    for text in expressions:
        for node in ast.walk(ast.parse(text, mode="eval")):
            if isinstance(node, ast.Name):
                used.add(node.id)
    return used


def stub_text(module: types.ModuleType) -> str:
    functions, data, aliases, reexports = classify(module)
    body: list[str] = []
    expressions: list[str] = []
    declarations = []
    for name, value in data:
        t = value_type(value)
        expressions.append(t)
        declarations.append(f"{name}: {t}")
    if declarations:
        body.append("\n".join(declarations))
    declarations = []
    for name, value in aliases:
        t = alias_text(value, module)
        expressions.append(t)
        declarations.append(f"{name} = {t}")
    if declarations:
        body.append("\n".join(declarations))
    for name, func in functions:
        text = function_text(name, func, module)
        sig = inspect.signature(func)
        for p in sig.parameters.values():
            a = annotation_text(p.annotation, module)
            if a:
                expressions.append(a)
        r = annotation_text(sig.return_annotation, module)
        if r:
            expressions.append(r)
        body.append(text)

    defined = {n for n, _ in data} | {n for n, _ in aliases} | {n for n, _ in functions}
    defined |= {n for n, _, _ in reexports}
    imports: list[str] = []
    typing_names: list[str] = []
    for used in sorted(names_used(expressions) - defined):
        if hasattr(builtins, used):
            continue
        value = getattr(module, used, None)
        if isinstance(value, types.ModuleType):
            imports.append(f"import {value.__name__}" + (f" as {used}" if value.__name__ != used else ""))
        elif hasattr(typing, used) and (value is None or getattr(typing, used) is value):
            typing_names.append(used)
        else:
            raise SystemExit(f"{module.__name__}: the stub needs {used!r} but the module does not bind it")

    out = [HEADER.format(name=module.__name__)]
    if module.__doc__ is not None:
        out.append(docstring_text(module.__doc__, "") + "\n")
    head: list[str] = list(imports)
    if typing_names:
        head.append(f"from typing import {', '.join(typing_names)}")
    by_origin: dict[str, list[str]] = {}
    for name, owner, value in reexports:
        origin, there = import_origin(owner, name, value)
        by_origin.setdefault(origin, []).append(f"{there} as {name}")
    for origin, names in by_origin.items():
        line = f"from {origin} import {', '.join(names)}"
        if len(line) > 100:
            line = f"from {origin} import (\n" + "".join(f"{INDENT}{n},\n" for n in names) + ")"
        head.append(line)
    if head:
        out.append("\n".join(head) + "\n")
    out.append("\n\n".join(body) + "\n")
    text = "\n".join(out)
    ast.parse(text)
    return text


def stub_path(module_name: str) -> Path:
    return SOURCE_PACKAGE.joinpath(*module_name.split(".")).with_suffix(".pyi")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modules", nargs="*", default=MODULES)
    parser.add_argument("--check", action="store_true", help="compare with the stubs on disk, write nothing")
    args = parser.parse_args(argv)
    status = 0
    for name in args.modules:
        try:
            module = importlib.import_module(name)
        except ImportError as exc:
            print(f"skipped {name}: {exc}")
            continue
        if not str(getattr(module, "__file__", "")).endswith(".so"):
            raise SystemExit(f"{name} is not an extension module ({module.__file__})")
        text = stub_text(module)
        path = stub_path(name)
        if args.check:
            if not path.exists() or path.read_text() != text:
                print(f"out of date: {path.relative_to(ROOT)}")
                status = 1
        else:
            path.write_text(text)
            print(f"wrote {path.relative_to(ROOT)}")
    py_typed = SOURCE_PACKAGE / "vexil" / "py.typed"
    if not py_typed.exists():
        if args.check:
            print("missing: python/vexil/py.typed")
            status = 1
        else:
            py_typed.write_text("")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
