"""A refused model is told apart from other failures of creating a
processor by the module's fixed message, which the package holds in one
constant: these tests raise it from the module and compare, so rewording
either side fails here rather than silently ending `ModelRefusedError`."""

import pytest

import tavix
from api_keys import DEMO_KEY, make_api_key
from helpers import processor_attrs
from tavix._module_messages import NO_PROCESSOR, is_no_processor
from tavix.stream import open_stream

EXITING = ("create_audio_processor refused: the interpreter is exiting and has closed every "
           "processor.")


@pytest.mark.parametrize("key, model", [(None, "passthrough"), (DEMO_KEY, "karaoke")])
def test_the_module_raises_the_message_the_package_recognises(sdk, key, model):
    if key:
        assert sdk.activate_api_key(key).success
    with pytest.raises(RuntimeError) as refused:
        sdk.create_audio_processor(processor_attrs(model))
    assert str(refused.value) == NO_PROCESSOR
    assert is_no_processor(refused.value)


@pytest.mark.parametrize("error, recognised", [
    (RuntimeError(NO_PROCESSOR), True),
    (RuntimeError(NO_PROCESSOR.split(":")[0] + ": something else"), False),  # the prefix alone
    (RuntimeError(EXITING), False),
    (ValueError(NO_PROCESSOR), False),
    (tavix.ModelRefusedError("denoise", NO_PROCESSOR), False),  # already told apart
])
def test_only_the_whole_message_of_a_plain_runtime_error_is_a_refusal(error, recognised):
    assert is_no_processor(error) is recognised


class FailingSdk:
    """Stands in for an `Sdk` whose processor creation raises `error`."""

    def __init__(self, error):
        self.error = error

    def create_audio_processor(self, attrs):
        raise self.error


@pytest.mark.parametrize("error, raised", [
    (RuntimeError(NO_PROCESSOR), tavix.ModelRefusedError),
    (RuntimeError(EXITING), RuntimeError),
    (MemoryError(), MemoryError),
])
def test_opening_a_stream_turns_only_the_refusal_into_model_refused(error, raised):
    with pytest.raises(raised) as caught:
        open_stream(FailingSdk(error), "denoise", rate=16000, channels=1, translate=None,
                    cloud=False, pcm16=False, block=None, start_timeout=1.0)
    assert type(caught.value) is raised
    if raised is tavix.ModelRefusedError:
        assert caught.value.model == "denoise" and caught.value.__cause__ is error
    else:
        assert caught.value is error


@pytest.mark.parametrize("grant, model, translate, named", [
    ("passthrough", "denoise", None, "denoise"),
    ("denoise", "karaoke", None, "karaoke"),  # not installed
    ("passthrough", "", ("en-US", "es-ES"), "translation"),
])
def test_a_refused_model_raises_model_refused_error_naming_it(tmp_path, grant, model, translate,
                                                              named):
    with tavix.Session(make_api_key("alice", grant=grant), storage_dir=tmp_path) as session:
        with pytest.raises(tavix.ModelRefusedError) as refused:
            session.stream(model, rate=16000, translate=translate, cloud=False)
    assert refused.value.model == named
    assert str(refused.value) == f"model {named!r} refused: {NO_PROCESSOR}"
