"""The global generators the adversaries' packages draw from, made per-session."""

from __future__ import annotations

import random

import numpy as np


class GlobalRandom:
    """A private state of the global ``random`` and ``numpy.random`` generators that the
    packages draw from: swapped in around each use, so a session's draws depend on its
    seed alone, whatever else runs in between."""

    def __init__(self, seed: int) -> None:
        saved = random.getstate(), np.random.get_state()
        random.seed(seed)
        np.random.seed(seed % 2**32)
        self.state = random.getstate(), np.random.get_state()
        random.setstate(saved[0])
        np.random.set_state(saved[1])

    def __enter__(self) -> GlobalRandom:
        self.saved = random.getstate(), np.random.get_state()
        random.setstate(self.state[0])
        np.random.set_state(self.state[1])
        return self

    def __exit__(self, *exc: object) -> None:
        self.state = random.getstate(), np.random.get_state()
        random.setstate(self.saved[0])
        np.random.set_state(self.saved[1])
