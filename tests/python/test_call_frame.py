"""Argument binding and conversion errors, with their exact messages."""

import sys

import pytest
import velkora_core_rs as core
from hostile import Index, RaisingIndex, TypeErrorSubclass

BINDING_ERRORS = [
    # too many positional arguments; keywords are not looked at then
    ("ban_ip_rs", ("a", 1, 2), {}, "ban_ip_rs() takes 2 positional arguments but 3 were given"),
    ("consume_nonce_rs", ("a", "b"), {},
     "consume_nonce_rs() takes 1 positional arguments but 2 were given"),
    ("consume_nonce_rs", ("a", "b"), {"bogus": 1},
     "consume_nonce_rs() takes 1 positional arguments but 2 were given"),
    # duplicates and unknown keywords, checked in keyword order
    ("ban_ip_rs", ("a",), {"ip": "b"}, "ban_ip_rs() got multiple values for argument 'ip'"),
    ("unban_ip_rs", (), {"ip": "a", "port": 1},
     "unban_ip_rs() got an unexpected keyword argument 'port'"),
    ("unban_ip_rs", (), {"IP": "a"}, "unban_ip_rs() got an unexpected keyword argument 'IP'"),
    ("unban_ip_rs", (), {"\udcff": "a"},
     "unban_ip_rs() got an unexpected keyword argument '\udcff'"),
    ("hydrate_bans_rs", (), {"other": 1, "bans": 2},
     "hydrate_bans_rs() got an unexpected keyword argument 'other'"),
    # missing arguments, listed in declaration order
    ("ban_ip_rs", (), {"duration_sec": 5},
     "ban_ip_rs() missing 1 required positional argument: 'ip'"),
    ("ban_ip_rs", (), {}, "ban_ip_rs() missing 2 required positional arguments: 'ip' and "
                          "'duration_sec'"),
    ("evaluate_curvature_naturalness_rs", (), {},
     "evaluate_curvature_naturalness_rs() missing 3 required positional arguments: "
     "'x', 'y', and 't'"),
    ("evaluate_curvature_naturalness_rs", (), {"y": []},
     "evaluate_curvature_naturalness_rs() missing 2 required positional arguments: "
     "'x' and 't'"),
    ("evaluate_curvature_zerocopy_rs", ([],), {"t_obj": []},
     "evaluate_curvature_zerocopy_rs() missing 1 required positional argument: 'y_obj'"),
    ("extract_features_rs", (), {},
     "extract_features_rs() missing 1 required positional argument: 'telemetry'"),
    ("evaluate_keystroke_dynamics_rs", (), {"keystroke": []},
     "evaluate_keystroke_dynamics_rs() got an unexpected keyword argument 'keystroke'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(core, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keyword_and_positional_forms_agree():
    core.clear_state_engine_rs()
    assert core.ban_ip_rs(duration_sec=5, ip="10.0.0.1") is None
    assert core.is_ip_banned_rs(ip="10.0.0.1") is True
    assert core.consume_nonce_rs(nonce="abc") is True
    assert core.consume_nonce_rs("abc") is False
    xs = [0.0, 10.0, 20.0, 25.0, 27.0]
    ys = [0.0, 0.0, 5.0, 15.0, 30.0]
    ts = [0.0, 10.0, 20.0, 30.0, 40.0]
    assert (core.evaluate_curvature_naturalness_rs(t=ts, x=xs, y=ys)
            == core.evaluate_curvature_naturalness_rs(xs, ys, ts))
    core.clear_state_engine_rs()


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


CONVERSION_ERRORS = [
    # wrong types of wrapped parameters carry the parameter name
    (lambda: core.is_ip_banned_rs(None), TypeError,
     "argument 'ip': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs(5, 10), TypeError,
     "argument 'ip': 'int' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs(b"a", 10), TypeError,
     "argument 'ip': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs("a", 1.5), TypeError,
     "argument 'duration_sec': 'float' object cannot be interpreted as an integer"),
    (lambda: core.ban_ip_rs("a", "5"), TypeError,
     "argument 'duration_sec': 'str' object cannot be interpreted as an integer"),
    (lambda: core.hydrate_bans_rs("ab"), TypeError, "argument 'bans': Can't extract `str` to `Vec`"),
    (lambda: core.hydrate_bans_rs({"a": 1}), TypeError,
     "argument 'bans': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: core.hydrate_bans_rs(x for x in ()), TypeError,
     "argument 'bans': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: core.hydrate_bans_rs([["a", 1]]), TypeError,
     "argument 'bans': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: core.hydrate_bans_rs([(5, 1)]), TypeError,
     "argument 'bans': 'int' object cannot be converted to 'PyString'"),
    (lambda: core.consume_nonce_rs(RaisingIndex(None)), TypeError,
     "argument 'nonce': 'RaisingIndex' object cannot be converted to 'PyString'"),
    (lambda: core.ban_ip_rs("a", RaisingIndex(TypeError("\udcff"))), TypeError,
     "argument 'duration_sec': \ufffd\ufffd\ufffd"),
    # everything that is not exactly a TypeError passes unchanged
    (lambda: core.ban_ip_rs("a", -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: core.ban_ip_rs("a", 2**64), OverflowError, None),
    (lambda: core.ban_ip_rs("a", Index(-3)), OverflowError, "can't convert negative int to unsigned"),
    (lambda: core.hydrate_bans_rs([("a", -1)]), OverflowError, None),
    (lambda: core.hydrate_bans_rs([("a", 1, 2)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: core.hydrate_bans_rs([()]), ValueError,
     "expected tuple of length 2, but got tuple of length 0"),
    (lambda: core.ban_ip_rs("a", RaisingIndex(TypeErrorSubclass("sub"))), TypeErrorSubclass, "sub"),
    (lambda: core.ban_ip_rs("a", RaisingIndex(KeyError("k"))), KeyError, "'k'"),
    (lambda: core.consume_nonce_rs("\udcff"), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, exc_type, message", CONVERSION_ERRORS)
def test_conversion_errors(call, exc_type, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


def test_wrapped_error_keeps_the_cause_and_drops_the_original():
    cause = ValueError("root")

    class Chained:
        def __index__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        core.ban_ip_rs("a", Chained())
    assert str(info.value) == "argument 'duration_sec': inner"
    assert info.value.__cause__ is cause
    assert info.value.__suppress_context__ is True
    assert info.value.__context__ is None or "inner" not in str(info.value.__context__)


def test_unprintable_type_error_is_reported_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
    with pytest.raises(TypeError) as info:
        core.ban_ip_rs("a", RaisingIndex(TypeError(BadStr())))
    assert str(info.value) == "argument 'duration_sec': <unprintable TypeError object>"
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)


def test_accepted_argument_forms():
    core.clear_state_engine_rs()

    class Text(str):
        pass

    assert core.ban_ip_rs(Text("sub"), True) is None           # str subclass; True is 1
    assert core.ban_ip_rs("idx", Index(3600)) is None           # __index__
    assert core.ban_ip_rs("max", 2**64 - 1) is None              # top of the u64 range
    assert core.is_ip_banned_rs("sub") in (True, False)          # a 1-second ban may have ended
    assert core.is_ip_banned_rs(Text("idx")) is True
    assert core.is_ip_banned_rs("max") is True
    assert core.consume_nonce_rs("a\x00b") is True               # NUL kept: full length compared
    assert core.consume_nonce_rs("a") is True
    assert core.consume_nonce_rs("a\x00b") is False
    core.clear_state_engine_rs()


class HugeLength:
    """Claims 10**18 items but yields two: the length is only a sizing hint."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 10**18

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class BrokenLength(HugeLength):
    def __len__(self):
        raise RuntimeError("no length")


class FailingIterator(HugeLength):
    def __iter__(self):
        yield self.items[0]
        raise KeyError("stop")


@pytest.mark.parametrize("wrapper", [HugeLength, BrokenLength])
def test_sequence_length_is_only_a_hint(wrapper):
    core.clear_state_engine_rs()
    assert core.hydrate_bans_rs(wrapper([("h1", 2**63), ("h2", 2**63)])) is None
    assert core.is_ip_banned_rs("h1") and core.is_ip_banned_rs("h2")
    xs = [0.0, 10.0, 20.0, 25.0, 27.0]
    ys = [0.0, 0.0, 5.0, 15.0, 30.0]
    ts = [0.0, 10.0, 20.0, 30.0, 40.0]
    expected = core.evaluate_curvature_naturalness_rs(xs, ys, ts)
    assert core.evaluate_curvature_naturalness_rs(wrapper(xs), wrapper(ys), wrapper(ts)) == expected
    core.clear_state_engine_rs()


def test_iterator_errors_pass_unchanged():
    with pytest.raises(KeyError):
        core.hydrate_bans_rs(FailingIterator([("a", 1), ("b", 2)]))
    with pytest.raises(KeyError):
        core.evaluate_curvature_naturalness_rs(FailingIterator([1.0, 2.0]), [], [])


def fake_numpy_scalar(type_name, bool_method):
    namespace = {"__module__": "numpy"}
    if bool_method is not None:
        namespace["__bool__"] = bool_method
    return type(type_name, (), namespace)()


def _raise(self):
    raise RuntimeError("no truth")


@pytest.mark.parametrize("value, expected", [
    (True, True),
    (False, False),
    (fake_numpy_scalar("bool_", lambda self: True), True),
    (fake_numpy_scalar("bool", lambda self: True), True),
    (fake_numpy_scalar("bool_", lambda self: False), False),
    (fake_numpy_scalar("bool_", _raise), False),        # failing truth slot: default
    (fake_numpy_scalar("bool_", None), False),          # no truth slot: default
    (fake_numpy_scalar("int64", lambda self: True), False),  # other NumPy scalar types
    (1, False),                                          # ints are not bools
    ("true", False),
])
def test_bool_conversion_accepts_bools_and_numpy_bools_only(value, expected):
    features = core.extract_features_rs({"browser": {"webdriver": value}})
    assert features["webdriver"] is expected
