"""The fixed messages of `_tavix_module`'s own errors that the package acts
on. The module raises a plain ``RuntimeError`` for each, and its surface is
fixed (no exception classes or error codes can be added), so the message is
the one thing that tells them apart. Each is compared whole, and
tests/test_model_refused.py raises it from the module and compares it with
the text here: a reworded message fails that test instead of silently
changing what the package recognises."""

from __future__ import annotations

from typing import Final

#: `Sdk.create_audio_processor` when the SDK returned no processor: the
#: model is not installed, the key is not entitled to it, or the SDK is not
#: activated. The interpreter exiting is another RuntimeError of that call.
NO_PROCESSOR: Final = ("create_audio_processor failed: the SDK returned no processor. Ensure the "
                       "SDK is activated and the requested model is entitled to the activated user.")


def is_no_processor(error: BaseException) -> bool:
    """Whether `error` is the module's answer to the SDK returning no
    processor."""
    return type(error) is RuntimeError and str(error) == NO_PROCESSOR
