"""What the tests and the fuzz targets share: objects that misbehave when the module
converts them, and the reference model of a mean and a population variance.

fuzz/targets.py imports this module too (its directory is put on sys.path there)."""

from collections.abc import Callable, Sequence


def mean(values: Sequence[float]) -> float:
    """The module's mean: summed in index order, one addition at a time, then
    divided by the count. Not math.fsum or statistics.fmean: the last bit counts."""
    total = 0.0
    for v in values:
        total += v
    return total / len(values)


def variance(values: Sequence[float], mu: float) -> float:
    """The module's population variance around `mu` (divided by n, not n - 1)."""
    total = 0.0
    for v in values:
        total += (v - mu) * (v - mu)
    return total / len(values)


class Index:
    """An integer by __index__ alone (no __float__, no __int__)."""

    def __init__(self, value: int):
        self.value = value

    def __index__(self) -> int:
        return self.value


class RaisingIndex:
    """__index__ raises `exc`."""

    def __init__(self, exc: BaseException | None = None):
        self.exc = ValueError("no index") if exc is None else exc

    def __index__(self) -> int:
        raise self.exc


class RaisingFloat:
    """__float__ raises `exc`."""

    def __init__(self, exc: BaseException | None = None):
        self.exc = RuntimeError("no float") if exc is None else exc

    def __float__(self) -> float:
        raise self.exc


class TypeErrorSubclass(TypeError):
    """Not exactly TypeError: passed through as it is, never wrapped as an argument error."""


class CollidingKey:
    """A dict key that hashes like the str `name`, so a lookup of `name` has to
    compare with it; the comparison returns (or raises) whatever on_eq does."""

    def __init__(self, name: str, on_eq: Callable[[], bool]):
        self.name, self.on_eq = name, on_eq

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        return self.on_eq()
