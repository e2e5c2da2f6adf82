"""The callback bridge: _gil_selftest, failure reports, threads, reference counts, cycles."""

import gc
import sys
import threading
import weakref

import pytest

import _tavix_module as m
from helpers import StateRecorder, processor_attrs


def test_selftest_calls_once_with_42_on_another_thread():
    calls = []
    assert m._gil_selftest(lambda v: calls.append((v, threading.get_ident()))) is None
    assert len(calls) == 1
    value, ident = calls[0]
    assert value == 42 and type(value) is int
    assert ident != threading.get_ident()


@pytest.mark.parametrize(
    "args, kwargs",
    [((None,), {}), ((5,), {}), ((), {}), ((print, print), {}), ((), {"callable": print})],
)
def test_selftest_refuses(args, kwargs):
    with pytest.raises(TypeError):
        m._gil_selftest(*args, **kwargs)


def test_nested_selftest_runs_on_two_native_threads():
    seen = []

    def inner(v):
        seen.append(("inner", threading.get_ident()))

    def outer(v):
        seen.append(("outer", threading.get_ident()))
        m._gil_selftest(inner)

    m._gil_selftest(outer)
    assert [name for name, _ in seen] == ["outer", "inner"]
    assert len({ident for _, ident in seen} | {threading.get_ident()}) == 3


def raise_value_error(v):
    raise ValueError("boom")


def raise_system_exit(v):
    sys.exit(3)


def raise_keyboard_interrupt(v):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "callback, raised",
    [
        (raise_value_error, ValueError),
        (lambda v: 1 / 0, ZeroDivisionError),
        (raise_system_exit, SystemExit),
        (raise_keyboard_interrupt, KeyboardInterrupt),
    ],
)
def test_failures_reach_the_unraisable_hook_chained(unraisable, callback, raised):
    assert m._gil_selftest(callback) is None
    assert len(unraisable) == 1
    report = unraisable[0]
    assert type(report.exc_value) is RuntimeError
    assert str(report.exc_value) == "error in Tavix callback"
    assert type(report.exc_value.__cause__) is raised
    assert report.exc_value.__context__ is report.exc_value.__cause__
    assert report.object is callback


def test_a_pending_exception_of_the_caller_is_untouched(unraisable):
    # The caller's exception being handled is not the callback's context.
    try:
        raise KeyError("outer")
    except KeyError as outer:
        m._gil_selftest(raise_value_error)
        assert sys.exception() is outer
    assert type(unraisable[0].exc_value.__cause__) is ValueError


def test_selftest_from_many_python_threads_at_once(unraisable):
    threads_n, rounds = 8, 25
    seen = []
    lock = threading.Lock()
    start = threading.Barrier(threads_n)

    def callback(v):
        with lock:
            seen.append(threading.get_ident())

    def worker():
        start.wait(10)
        for _ in range(rounds):
            m._gil_selftest(callback)

    workers = [threading.Thread(target=worker) for _ in range(threads_n)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    assert not any(w.is_alive() for w in workers)
    assert len(seen) == threads_n * rounds
    assert not unraisable


def test_a_record_released_on_a_native_thread_drops_its_callable():
    def state_callback(state):
        pass

    box = [m.AudioAttributes(audio_pipeline_state_notify=state_callback)]
    base = sys.getrefcount(state_callback)
    m._gil_selftest(lambda v: box.clear())
    assert not box
    assert sys.getrefcount(state_callback) == base - 1


# Reference counts: each path below must give the callable's reference back.


def install_by_constructor(f):
    return [m.AudioAttributes(audio_pipeline_state_notify=f), m.LanguageTranslationConfig("a", "b", callback=f)]


def install_by_setter(f):
    a, c = m.AudioAttributes(), m.LanguageTranslationConfig("a", "b")
    a.audio_pipeline_state_notify = f
    c.callback = f
    return [a, c]


def install_and_replace(f):
    a, c = m.AudioAttributes(audio_pipeline_state_notify=f), m.LanguageTranslationConfig("a", "b", callback=f)
    a.audio_pipeline_state_notify = f
    c.callback = f
    a.audio_pipeline_state_notify = print
    c.callback = print
    return [a, c]


def copy_into_processor_attributes(f):
    a = m.AudioAttributes(audio_pipeline_state_notify=f)
    c = m.LanguageTranslationConfig("a", "b", callback=f)
    pa = m.ProcessorAttributes(a, c)
    other = m.ProcessorAttributes(m.AudioAttributes())
    other.audio_attributes = a
    other.lt_config = c
    return [pa, other, pa.audio_attributes, pa.lt_config]


def replace_inside_processor_attributes(f):
    pa = m.ProcessorAttributes(
        m.AudioAttributes(audio_pipeline_state_notify=f), m.LanguageTranslationConfig("a", "b", callback=f)
    )
    pa.lt_config.callback = f
    pa.audio_attributes = m.AudioAttributes()
    pa.lt_config = None
    return [pa]


@pytest.mark.parametrize(
    "install",
    [
        install_by_constructor,
        install_by_setter,
        install_and_replace,
        copy_into_processor_attributes,
        replace_inside_processor_attributes,
        lambda f: m._gil_selftest(f),
    ],
)
def test_reference_count_returns_after_every_path(install):
    def f(arg):
        pass

    base = sys.getrefcount(f)
    kept = install(f)
    del kept
    gc.collect()
    assert sys.getrefcount(f) == base


def test_each_record_holds_one_reference_of_its_own():
    # One reference per owning record, so that the collector can account for
    # each (copies sharing one reference would hide cycles from it).
    def f(state):
        pass

    base = sys.getrefcount(f)
    a = m.AudioAttributes(audio_pipeline_state_notify=f)
    copies = [m.ProcessorAttributes(a) for _ in range(5)]
    assert sys.getrefcount(f) == base + 6
    del a
    assert sys.getrefcount(f) == base + 5
    del copies
    assert sys.getrefcount(f) == base


def test_processor_attributes_keep_the_callable_after_the_config_is_deleted():
    def f(frame):
        pass

    ref = weakref.ref(f)
    pa = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig("a", "b", callback=f))
    del f
    gc.collect()
    assert ref() is not None
    del pa
    gc.collect()
    assert ref() is None


# Cycles through a callback: a bound method of an object that holds the record.


class Host:
    def on_event(self, arg):
        pass


def hold_audio_attributes(host):
    host.record = m.AudioAttributes(audio_pipeline_state_notify=host.on_event)


def hold_lt_config(host):
    host.record = m.LanguageTranslationConfig("a", "b")
    host.record.callback = host.on_event


def hold_processor_attributes(host):
    host.record = m.ProcessorAttributes(
        m.AudioAttributes(audio_pipeline_state_notify=host.on_event),
        m.LanguageTranslationConfig("a", "b", callback=host.on_event),
    )
    host.record.lt_config.callback = host.on_event  # through a reference


def hold_detached_config(host):
    host.record = m.ProcessorAttributes(m.AudioAttributes(), m.LanguageTranslationConfig("a", "b"))
    ref = host.record.lt_config
    host.record.lt_config = None
    ref.callback = host.on_event
    host.ref = ref


def hold_references_too(host):
    hold_processor_attributes(host)
    host.refs = [
        host.record.audio_attributes,
        host.record.lt_config,
        host.record.audio_attributes.cloud_inferencing_params,
    ]


def hold_only_a_reference(host):
    host.ref = m.ProcessorAttributes(
        m.AudioAttributes(audio_pipeline_state_notify=host.on_event)
    ).audio_attributes.cloud_inferencing_params


def hold_copies_by_constructor(host):
    host.audio = m.AudioAttributes(audio_pipeline_state_notify=host.on_event)
    host.lt = m.LanguageTranslationConfig("a", "b", callback=host.on_event)
    host.first = m.ProcessorAttributes(host.audio, host.lt)
    host.second = m.ProcessorAttributes(host.audio, host.lt)


def hold_copies_by_assignment(host):
    host.audio = m.AudioAttributes(audio_pipeline_state_notify=host.on_event)
    host.pa = m.ProcessorAttributes(m.AudioAttributes())
    host.pa.audio_attributes = host.audio
    host.pa.lt_config = m.LanguageTranslationConfig("a", "b", callback=host.on_event)
    host.other = m.ProcessorAttributes(host.pa.audio_attributes, host.pa.lt_config)


@pytest.mark.parametrize(
    "hold",
    [
        hold_audio_attributes,
        hold_lt_config,
        hold_processor_attributes,
        hold_detached_config,
        hold_references_too,
        hold_only_a_reference,
        hold_copies_by_constructor,
        hold_copies_by_assignment,
    ],
)
def test_cycles_through_a_callback_are_collected(hold):
    host = Host()
    hold(host)
    ref = weakref.ref(host)
    del host
    gc.collect()
    assert ref() is None


def test_a_shared_callable_stays_alive_until_the_other_copy_goes():
    host = Host()
    hold_processor_attributes(host)
    other_copy = m.ProcessorAttributes(host.record.audio_attributes, host.record.lt_config)
    ref = weakref.ref(host)
    del host
    gc.collect()
    assert ref() is not None
    del other_copy
    gc.collect()
    assert ref() is None


# Through the SDK: its copies of a callback share the holder and outlive the records.


@pytest.mark.parametrize("fails", [False, True])
def test_the_sdk_copy_outlives_the_records_and_releases_the_callable(activated, unraisable, fails):
    states = StateRecorder()
    # Each report of a failed call holds the callable, so the failures begin
    # only once its references are counted: on a slow machine (emulation)
    # TRYING and RUNNING may well be delivered before the count.
    counted = threading.Event()
    raised = []

    def on_state(state):
        states(state)
        if fails and counted.is_set():
            raised.append(state)
            raise ValueError(state)

    ref = weakref.ref(on_state)
    base = sys.getrefcount(on_state)
    processor = activated.create_audio_processor(processor_attrs(notify=on_state))
    assert sys.getrefcount(on_state) == base + 1  # one reference, shared by the SDK's copies
    counted.set()
    del on_state
    gc.collect()
    assert states.running.wait(10)
    processor.close()
    assert states.seen[:2] == [m.PipelineState.TRYING, m.PipelineState.RUNNING]
    assert all(type(s) is m.PipelineState for s in states.seen)
    assert len(unraisable) == len(raised)
    assert bool(raised) == fails  # NOT_RUNNING at the close comes after the count in any case
    for report in unraisable:
        assert report.object is ref()
        assert str(report.exc_value) == "error in Tavix callback"
        assert type(report.exc_value.__cause__) is ValueError
    unraisable.clear()  # the reports hold the callable too
    report = None
    gc.collect()
    assert ref() is None


def test_the_sdks_share_keeps_the_callable_until_the_processor_closes(activated):
    host = Host()
    states = []
    host.on_event = states.append  # not a cycle of its own
    host.attrs = processor_attrs(notify=lambda s, h=host: h.on_event(s))
    ref = weakref.ref(host)
    processor = activated.create_audio_processor(host.attrs)
    del host
    gc.collect()
    assert ref() is not None  # the SDK still calls it
    processor.close()
    gc.collect()
    assert ref() is None
    assert states[-1] == m.PipelineState.NOT_RUNNING


def test_collecting_records_never_silences_an_open_processor(activated):
    seen = threading.Event()
    processor = activated.create_audio_processor(processor_attrs(notify=lambda s: seen.set()))
    gc.collect()
    processor.close()
    assert seen.is_set()
