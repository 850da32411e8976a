"""The type stubs against the compiled extension: every function and method
that the stubs declare takes the parameters the extension takes, by the
same names, in the same order, with the same defaults. (mypy's stubtest
checks the rest, but cannot see the signatures of compiled functions.)"""
import ast
import importlib
import os
import re

import kelvra

PACKAGE_ROOT = os.path.dirname(os.path.dirname(kelvra.__file__))


def stub_files():
    for top in ("kelvra", "kvc"):
        for folder, _, files in os.walk(os.path.join(PACKAGE_ROOT, top)):
            for name in files:
                if name.endswith(".pyi"):
                    yield os.path.join(folder, name)


def module_of(path):
    relative = os.path.relpath(path, PACKAGE_ROOT)[:-len(".pyi")].split(os.sep)
    return ".".join(relative[:-1] if relative[-1] == "__init__" else relative)


def split_parameters(text):
    """The parameters of a signature's text, split at commas outside brackets."""
    out, depth, current = [], 0, ""
    for c in text:
        depth += c in "([{"
        depth -= c in ")]}"
        if c == "," and depth == 0:
            out.append(current.strip())
            current = ""
        else:
            current += c
    if current.strip():
        out.append(current.strip())
    return out


def compiled_parameters(function, name):
    """[(name, default text or None)] from the signature line the extension
    writes at the head of a compiled function's docstring; None when it has
    none (Python functions, overloaded ones)."""
    first = (getattr(function, "__doc__", None) or "").split("\n", 1)[0]
    match = re.fullmatch(re.escape(name) + r"\((.*)\) -> .*", first)
    if not match or "*args" in first:
        return None
    out = []
    for parameter in split_parameters(match.group(1)):
        head, _, default = parameter.partition(" = ")
        out.append((head.split(":")[0].strip(), default or None))
    return out


def stub_parameters(node, skip_first):
    arguments = node.args.posonlyargs + node.args.args
    defaults = [None] * (len(arguments) - len(node.args.defaults)) + list(node.args.defaults)
    pairs = [(a.arg, None if d is None else ast.unparse(d)) for a, d in zip(arguments, defaults)]
    if node.args.kwonlyargs:
        pairs.append(("*", None))  # as the extension's signature line marks them
    pairs += [(a.arg, None if d is None else ast.unparse(d)) for a, d in zip(node.args.kwonlyargs, node.args.kw_defaults)]
    return pairs[1:] if skip_first else pairs


def declared_functions(tree):
    """(owner names, function node, is it a static method) of every function
    the stub declares, at module level and in classes."""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not any(ast.unparse(d) == "overload" for d in node.decorator_list):
            yield (), node, True
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    decorators = {ast.unparse(d) for d in item.decorator_list}
                    if "property" not in decorators and "overload" not in decorators:
                        yield (node.name,), item, "staticmethod" in decorators


def test_stubs_take_the_parameters_the_extension_takes():
    checked = 0
    for path in stub_files():
        module = importlib.import_module(module_of(path))
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read())
        for owners, node, static in declared_functions(tree):
            target = module
            for owner in owners:
                target = getattr(target, owner)
            runtime = compiled_parameters(getattr(target, node.name), node.name)
            if runtime is None:
                continue
            where = ".".join((module.__name__,) + owners + (node.name,))
            expected = stub_parameters(node, skip_first=not static)
            if not static:
                assert runtime[0][0] in ("self", "cls"), where
                runtime = runtime[1:]
            assert [n for n, _ in expected] == [n for n, _ in runtime], where
            for (name, stub_default), (_, default) in zip(expected, runtime):
                assert (stub_default is None) == (default is None), (where, name)
                if stub_default not in (None, "..."):
                    assert stub_default.replace('"', "'") == default, (where, name, stub_default, default)
            checked += 1
    assert checked > 60
