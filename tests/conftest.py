import gc
import sys

import pytest

import _tavix_module as m
from api_keys import DEMO_KEY


@pytest.fixture
def sdk(tmp_path):
    """A fresh, not yet activated SDK with its storage in a temporary directory."""
    return m.create_sdk(m.InitParams(str(tmp_path / "storage")))


@pytest.fixture
def activated(sdk):
    """The `sdk` fixture activated with the demo key, entitled to every model."""
    assert sdk.activate_api_key(DEMO_KEY).success
    return sdk


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield seen
    gc.collect()
