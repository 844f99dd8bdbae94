"""The module's public face: function table, attributes, signatures, import rules."""

import inspect
import shutil
import subprocess
import sys
import textwrap
import types

import pytest
import velkora_core_rs as core

TABLE = [
    ("is_rust_core_active", "()"),
    ("get_core_version", "()"),
    ("extract_features_rs", "(telemetry)"),
    ("evaluate_curvature_naturalness_rs", "(x, y, t)"),
    ("evaluate_curvature_zerocopy_rs", "(x_obj, y_obj, t_obj)"),
    ("evaluate_keystroke_dynamics_rs", "(keystrokes)"),
    ("consume_nonce_rs", "(nonce)"),
    ("is_ip_banned_rs", "(ip)"),
    ("ban_ip_rs", "(ip, duration_sec)"),
    ("unban_ip_rs", "(ip)"),
    ("hydrate_bans_rs", "(bans)"),
    ("clear_state_engine_rs", "()"),
    ("get_state_engine_stats_rs", "()"),
]
NAMES = [name for name, _ in TABLE]
NO_ARGUMENT = ["is_rust_core_active", "get_core_version", "clear_state_engine_rs",
               "get_state_engine_stats_rs"]


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


def test_module_attributes():
    assert core.__name__ == "velkora_core_rs"
    assert core.__doc__ == ""
    assert core.__all__ == NAMES
    public = {name for name in vars(core) if not name.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name, signature", TABLE)
def test_function_objects(name, signature):
    fn = getattr(core, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__self__ is core
    assert fn.__module__ == "velkora_core_rs"
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__doc__ is None
    assert fn.__text_signature__ == signature
    params = list(inspect.signature(fn).parameters.values())
    assert "(" + ", ".join(p.name for p in params) + ")" == signature
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


@pytest.mark.parametrize("name", NO_ARGUMENT)
def test_no_argument_functions_reject_arguments(name):
    fn = getattr(core, name)
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        fn(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        fn(x=1)


def test_version_and_liveness():
    assert core.is_rust_core_active() is True
    first, second = core.get_core_version(), core.get_core_version()
    assert first == second == "0.9.4-native-rust"
    assert type(first) is str


def test_reimport_returns_the_same_module_and_functions():
    result = run_python("""
        import sys
        import velkora_core_rs as first
        functions = [getattr(first, n) for n in first.__all__]
        del sys.modules["velkora_core_rs"]
        import velkora_core_rs as second
        assert second is first
        assert [getattr(second, n) for n in second.__all__] == functions
        assert all(getattr(second, n) is f for n, f in zip(second.__all__, functions))
        import importlib
        assert importlib.reload(second) is first
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("import_in_main_first", [True, False])
def test_second_interpreter_is_refused(import_in_main_first):
    # A legacy-config subinterpreter lets single-phase modules load, so the
    # module's own owner check is what refuses it. The interpreter runs a
    # single-phase initialiser in the main interpreter first even when a
    # subinterpreter asks, so the main interpreter always ends up the owner.
    result = run_python(f"""
        import _interpreters
        if {import_in_main_first}:
            import velkora_core_rs
        sub = _interpreters.create("legacy")
        err = _interpreters.exec(sub, "import velkora_core_rs")
        assert err is not None and err.type.__name__ == "ImportError", err
        assert "subinterpreters" in err.msg, err.msg
        import velkora_core_rs
        assert velkora_core_rs.is_rust_core_active()
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", core.__file__], capture_output=True,
                         text=True, check=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == {"PyInit_velkora_core_rs"}
