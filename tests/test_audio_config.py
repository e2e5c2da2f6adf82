"""CloudInferencingParams and AudioAttributes: construction, refusals, nested-record semantics."""

import sys

import pytest

import _tavix_module as m

FIELDS = ["sampling_rate", "channels", "model_name"]


def snapshot(a):
    return tuple(getattr(a, f) for f in FIELDS) + (a.cloud_inferencing_params.use_pcm16,)


def test_defaults():
    a = m.AudioAttributes()
    assert snapshot(a) == (16000, 1, "", False)
    assert a.audio_pipeline_state_notify is None


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((48000, 2, "m"), {}),
        ((), {"channels": 2, "sampling_rate": 48000, "model_name": "m"}),
        ((48000,), {"model_name": "m", "channels": 2}),
    ],
)
def test_positional_and_keyword_arguments_build_the_same_record(args, kwargs):
    assert snapshot(m.AudioAttributes(*args, **kwargs)) == (48000, 2, "m", False)


@pytest.mark.parametrize(
    "name, value",
    [("channels", 65535), ("channels", 0), ("sampling_rate", 4294967295), ("sampling_rate", 0)],
)
def test_integer_limits_are_accepted(name, value):
    assert getattr(m.AudioAttributes(**{name: value}), name) == value
    a = m.AudioAttributes()
    setattr(a, name, value)
    assert getattr(a, name) == value


REFUSED = [
    ("channels", 65536),
    ("channels", -1),
    ("channels", 1.0),
    ("channels", None),
    ("sampling_rate", -1),
    ("sampling_rate", 4294967296),
    ("sampling_rate", 16000.0),
    ("sampling_rate", "16000"),
    ("model_name", None),
    ("model_name", b"m"),
    ("model_name", 5),
    ("model_name", "bad \udc80 surrogate"),
    ("cloud_inferencing_params", None),
    ("cloud_inferencing_params", m.AudioAttributes()),
    ("audio_pipeline_state_notify", 42),
]


@pytest.mark.parametrize("name, value", REFUSED)
def test_constructor_refuses(name, value):
    with pytest.raises(TypeError):
        m.AudioAttributes(**{name: value})


@pytest.mark.parametrize("name, value", REFUSED + [("audio_pipeline_state_notify", None)])
def test_setter_refuses_and_leaves_the_record_unchanged(name, value):
    a = m.AudioAttributes(44100, 2, "kept")
    a.cloud_inferencing_params.use_pcm16 = True
    before = snapshot(a)
    with pytest.raises(TypeError):
        setattr(a, name, value)
    assert snapshot(a) == before


@pytest.mark.parametrize("value", [0, 1, None, "True", 1.0])
def test_use_pcm16_accepts_only_bools(value):
    c = m.CloudInferencingParams()
    with pytest.raises(TypeError):
        c.use_pcm16 = value
    assert c.use_pcm16 is False
    c.use_pcm16 = True
    assert c.use_pcm16 is True


def test_cloud_params_read_is_a_reference_that_keeps_its_owner_alive():
    a = m.AudioAttributes()
    p = a.cloud_inferencing_params
    p.use_pcm16 = True
    assert a.cloud_inferencing_params.use_pcm16 is True
    del a
    assert p.use_pcm16 is True
    p.use_pcm16 = False
    assert p.use_pcm16 is False


def test_cloud_params_are_copied_in():
    c = m.CloudInferencingParams()
    a = m.AudioAttributes(cloud_inferencing_params=c)
    b = m.AudioAttributes()
    b.cloud_inferencing_params = c
    c.use_pcm16 = True
    assert a.cloud_inferencing_params.use_pcm16 is False
    assert b.cloud_inferencing_params.use_pcm16 is False


def test_default_cloud_params_are_not_shared_between_records():
    a = m.AudioAttributes()
    a.cloud_inferencing_params.use_pcm16 = True
    assert m.AudioAttributes().cloud_inferencing_params.use_pcm16 is False


def test_callback_property_reads_none_and_none_keeps_the_installed_callable():
    def f(state):
        pass

    a = m.AudioAttributes(audio_pipeline_state_notify=None)
    a.audio_pipeline_state_notify = f
    installed = sys.getrefcount(f)
    assert a.audio_pipeline_state_notify is None
    with pytest.raises(TypeError):
        a.audio_pipeline_state_notify = None
    assert sys.getrefcount(f) == installed


# cloud_inferencing is not exposed: the SDK shows it, since only the cloud path
# reports pipeline states (at least TRYING, even when closed at once).


def reports_states(sdk, audio):
    seen = []
    audio.audio_pipeline_state_notify = seen.append
    sdk.create_audio_processor(m.ProcessorAttributes(audio)).close()
    return bool(seen)


@pytest.mark.parametrize(
    "value, cloud", [("1", False), (None, True), ("", True), ("0", True), ("true", True), (" 1", True), ("01", True)]
)
def test_local_inferencing_switch_is_read_at_construction(activated, monkeypatch, value, cloud):
    if value is None:
        monkeypatch.delenv("TAVIX_LOCAL_INFERENCING", raising=False)
    else:
        monkeypatch.setenv("TAVIX_LOCAL_INFERENCING", value)
    audio = m.AudioAttributes(model_name="passthrough")
    copied = m.ProcessorAttributes(audio).audio_attributes
    monkeypatch.setenv("TAVIX_LOCAL_INFERENCING", "0" if value == "1" else "1")
    assert reports_states(activated, audio) is cloud
    assert reports_states(activated, copied) is cloud
    assert reports_states(activated, m.AudioAttributes(model_name="passthrough")) is not cloud
