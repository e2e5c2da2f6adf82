"""LanguageTranslationConfig and ProcessorAttributes: construction, refusals, references and copies."""

import gc
import sys

import pytest

import _tavix_module as m

LT_FIELDS = ["language_in", "language_out", "conversation_id"]


def lt_values(c):
    return tuple(getattr(c, f) for f in LT_FIELDS)


def test_lt_config_defaults_and_keywords():
    c = m.LanguageTranslationConfig(language_out="es-ES", language_in="en-US")
    assert lt_values(c) == ("en-US", "es-ES", "")
    assert c.callback is None


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("en-US",), {}),
        (("en-US", None), {}),
        (("en-US", "es-ES", None), {}),
        (("en-US", "es-ES"), {"callback": 5}),
        ((b"en-US", "es-ES"), {}),
        (("en-US", "es-ES", "\udc80"), {}),
    ],
)
def test_lt_config_constructor_refuses(args, kwargs):
    with pytest.raises(TypeError):
        m.LanguageTranslationConfig(*args, **kwargs)


@pytest.mark.parametrize(
    "name, value",
    [
        ("language_in", None),
        ("language_out", b"x"),
        ("conversation_id", 1),
        ("callback", None),
        ("callback", 5),
    ],
)
def test_lt_config_setter_refuses_and_leaves_the_record_unchanged(name, value):
    c = m.LanguageTranslationConfig("en-US", "es-ES", "conv")
    with pytest.raises(TypeError):
        setattr(c, name, value)
    assert lt_values(c) == ("en-US", "es-ES", "conv")


@pytest.mark.parametrize("args", [(None,), (m.AudioAttributes(), 5), (m.LanguageTranslationConfig("a", "b"),)])
def test_processor_attributes_constructor_refuses(args):
    with pytest.raises(TypeError):
        m.ProcessorAttributes(*args)


@pytest.mark.parametrize("name, value", [("audio_attributes", None), ("lt_config", m.AudioAttributes())])
def test_processor_attributes_setter_refuses(name, value):
    pa = m.ProcessorAttributes(m.AudioAttributes(model_name="kept"), m.LanguageTranslationConfig("a", "b"))
    with pytest.raises(TypeError):
        setattr(pa, name, value)
    assert pa.audio_attributes.model_name == "kept"
    assert pa.lt_config.language_in == "a"


def test_constructor_copies_its_arguments():
    aa = m.AudioAttributes(model_name="m")
    c = m.LanguageTranslationConfig("en-US", "es-ES")
    pa = m.ProcessorAttributes(aa, c)
    aa.model_name = "changed"
    c.language_in = "changed"
    assert pa.audio_attributes.model_name == "m"
    assert pa.lt_config.language_in == "en-US"
    assert m.ProcessorAttributes(aa).lt_config is None


@pytest.mark.parametrize("name", ["audio_attributes", "lt_config"])
def test_nested_reads_are_references_that_keep_the_owner_alive(name):
    pa = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig("a", "b"))
    ref = getattr(pa, name)
    assert getattr(pa, name) is ref
    attr = "model_name" if name == "audio_attributes" else "language_in"
    setattr(ref, attr, "through the reference")
    assert getattr(getattr(pa, name), attr) == "through the reference"
    del pa
    gc.collect()
    assert getattr(ref, attr) == "through the reference"


@pytest.mark.parametrize("name", ["audio_attributes", "lt_config"])
def test_assignment_copies_and_earlier_references_show_the_new_values(name):
    pa = m.ProcessorAttributes(m.AudioAttributes(model_name="old"), m.LanguageTranslationConfig("old", "x"))
    ref = getattr(pa, name)
    if name == "audio_attributes":
        new, attr = m.AudioAttributes(model_name="new"), "model_name"
    else:
        new, attr = m.LanguageTranslationConfig("new", "x"), "language_in"
    setattr(pa, name, new)
    setattr(new, attr, "changed later")
    assert getattr(ref, attr) == "new"
    assert getattr(getattr(pa, name), attr) == "new"


def test_assigning_a_config_to_itself_keeps_it():
    pa = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig("en-US", "es-ES", "c"))
    pa.lt_config = pa.lt_config
    assert lt_values(pa.lt_config) == ("en-US", "es-ES", "c")


LONG = "x" * 200  # heap-allocated string: a stale read would show


def test_reference_read_before_removal_stays_usable_and_reattaches():
    pa = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig(LONG, LONG, LONG))
    ref = pa.lt_config
    pa.lt_config = None
    assert pa.lt_config is None
    assert lt_values(ref) == ("", "", "")  # detached: a fresh default config
    ref.language_in = LONG
    ref.callback = print
    assert pa.lt_config is None  # writes to a detached config do not bring it back
    pa.lt_config = m.LanguageTranslationConfig("de-DE", "fr-FR")
    assert pa.lt_config is ref
    assert lt_values(ref) == ("de-DE", "fr-FR", "")
    ref.language_out = "it-IT"
    assert pa.lt_config.language_out == "it-IT"


def test_detached_config_releases_its_callable_with_the_reference():
    def f(frame):
        pass

    pa = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig("a", "b"))
    base = sys.getrefcount(f)
    ref = pa.lt_config
    pa.lt_config = None
    ref.callback = f
    assert sys.getrefcount(f) == base + 1
    del ref
    assert sys.getrefcount(f) == base
    assert pa.lt_config is None


@pytest.mark.parametrize("keep_reference", [True, False])
def test_removal_and_reassignment_in_a_loop_do_not_grow_memory(keep_reference):
    pa = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig(LONG, LONG))
    config = m.LanguageTranslationConfig(LONG, LONG, callback=print)
    kept = pa.lt_config if keep_reference else None

    def cycle(n):
        for _ in range(n):
            ref = pa.lt_config
            pa.lt_config = None
            ref.language_in = LONG
            pa.lt_config = config
            del ref

    cycle(1000)
    gc.collect()
    before = sys.getallocatedblocks()
    cycle(20000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 100
    assert kept is None or kept.language_in == LONG
