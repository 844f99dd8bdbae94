"""The installed distribution: its version, and that it ships the module and its stubs."""

import ast
import doctest
import importlib.metadata
import inspect
import pathlib
import tomllib

import velkora_core_rs as core

DIST = "velkora_core_rs"
PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"


def installed_files() -> dict[str, pathlib.Path]:
    files = importlib.metadata.files(DIST)
    assert files, "the distribution lists no files"
    return {f.as_posix(): pathlib.Path(str(f.locate())).resolve() for f in files}


def test_distribution_version_is_the_project_version():
    with PYPROJECT.open("rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert importlib.metadata.version(DIST) == declared
    # The module reports its own build string, which does not follow the distribution.
    assert core.get_core_version() == "0.9.4-native-rust"


def test_imported_module_is_the_installed_one():
    assert pathlib.Path(core.__file__).resolve() in installed_files().values()


def test_stubs_ship_and_match_the_module():
    stub = installed_files().get("velkora_core_rs-stubs/__init__.pyi")
    assert stub is not None, "the stub package is missing from the distribution"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    # Overloads repeat a name; each must carry the runtime's parameter names.
    declared: dict[str, set[tuple[str, ...]]] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            declared.setdefault(node.name, set()).add(tuple(a.arg for a in node.args.args))
    assert sorted(declared) == sorted(core.__all__)
    for name in core.__all__:
        runtime = tuple(inspect.signature(getattr(core, name)).parameters)
        assert declared[name] == {runtime}, name


def test_every_stub_function_has_a_docstring_whose_examples_hold():
    stub = installed_files()["velkora_core_rs-stubs/__init__.pyi"]
    source = stub.read_text(encoding="utf-8")
    functions = [node for node in ast.parse(source).body if isinstance(node, ast.FunctionDef)]
    assert {f.name for f in functions} == set(core.__all__)
    undocumented = [f"{f.name} (line {f.lineno})" for f in functions if not (ast.get_docstring(f) or "").strip()]
    assert not undocumented, undocumented
    # The module itself keeps no docstrings; editors read them from the stubs.
    assert all(getattr(core, name).__doc__ is None for name in core.__all__)
    # The one-line examples run against the module and must print what they show.
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    examples = 0
    for f in functions:
        core.clear_state_engine_rs()
        test = parser.get_doctest(ast.get_docstring(f) or "", vars(core).copy(), f.name, str(stub), f.lineno)
        examples += len(test.examples)
        runner.run(test)
    core.clear_state_engine_rs()
    assert examples >= 7
    assert runner.summarize(verbose=False).failed == 0
