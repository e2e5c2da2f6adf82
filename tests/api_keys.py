"""API keys of the substitute SDK: its documented demo key and its key tool."""

import importlib.util
from pathlib import Path

from tavix.cli import DEMO_KEY  # noqa: F401  (documented in sdk/README.md)

_tool = Path(__file__).resolve().parents[1] / "sdk" / "tools" / "make_api_key.py"
_spec = importlib.util.spec_from_file_location("make_api_key", _tool)
_module = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_module)

make_api_key = _module.make_api_key
