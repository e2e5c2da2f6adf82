import gc
import signal
import sys

import pytest

import _tavix_module as m
import tavix
from api_keys import DEMO_KEY

# The suite stops the processes it starts with SIGINT, SIGTERM and SIGHUP. A
# run started under nohup, or as a background job of a script, inherits some
# of them ignored, and the command line deliberately keeps an ignored signal
# ignored; the children get the usual dispositions instead.
for _stop in (signal.SIGTERM, signal.SIGHUP):
    if signal.getsignal(_stop) == signal.SIG_IGN:
        signal.signal(_stop, signal.SIG_DFL)
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


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
def session(tmp_path):
    """An activated `tavix.Session` (demo key) with its storage in a temporary
    directory, closed after the test."""
    with tavix.Session(DEMO_KEY, storage_dir=tmp_path / "storage") as session:
        yield session


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield seen
    gc.collect()
