import gc
import sys

import pytest

import _tavix_module as m


@pytest.fixture
def sdk(tmp_path):
    """A fresh, not yet activated SDK with its storage in a temporary directory."""
    return m.create_sdk(m.InitParams(str(tmp_path / "storage")))


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield seen
    gc.collect()
