"""Skips for what a test needs and this machine may lack. Every skip made here says
"missing: …", which the conftest hook turns into a failure under VELKORA_CI=1."""

import importlib
import shutil
from types import ModuleType

import pytest


def program(*names: str) -> str:
    """The path of the first of NAMES on the PATH, or a skip naming them."""
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    pytest.skip(f"missing: program {' or '.join(names)} is not on the PATH")


def package(name: str) -> ModuleType:
    """The imported module NAME, or a skip naming it."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        pytest.skip(f"missing: Python package {name} ({error})")
