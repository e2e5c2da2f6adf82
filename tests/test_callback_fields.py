"""Every callback field of the records, found in the module itself (a property
whose setter takes a Callable): each owner of a record holds a reference of its
own, a cycle through any field in any owner is collected, and removing a
config releases only its owner's reference."""

import gc
import sys
import threading
import weakref

import numpy as np
import pytest

import _tavix_module as m
from helpers import processor_attrs
from tavix import signals


def callback_fields():
    found = []
    for name in dir(m):
        record = getattr(m, name)
        for field, value in vars(record).items() if isinstance(record, type) else ():
            if isinstance(value, property) and value.fset is not None:
                if "Callable[" in value.fset.__nb_signature__[0][0]:
                    found.append((record, field))
    return found


FIELDS = callback_fields()
IDS = [f"{record.__name__}.{field}" for record, field in FIELDS]

# How to make each record that has a callback, and where ProcessorAttributes
# holds it. A record that gains a callback must be listed here.
RECORDS = {
    m.AudioAttributes: (m.AudioAttributes, "audio_attributes"),
    m.LanguageTranslationConfig: (lambda: m.LanguageTranslationConfig("a", "b"), "lt_config"),
}


def test_every_record_with_a_callback_is_covered():
    assert {record for record, _ in FIELDS} == set(RECORDS)


def with_callback(record_type, field, callable_):
    record = RECORDS[record_type][0]()
    setattr(record, field, callable_)
    return record


def by_constructor(slot, record):
    return m.ProcessorAttributes(**{"audio_attributes": m.AudioAttributes(), slot: record})


def by_assignment(slot, record):
    attributes = m.ProcessorAttributes(m.AudioAttributes())
    setattr(attributes, slot, record)
    return attributes


@pytest.mark.parametrize("record_type, field", FIELDS, ids=IDS)
def test_each_owner_holds_one_reference_of_its_own(record_type, field):
    def f(arg):
        pass

    slot = RECORDS[record_type][1]
    base = sys.getrefcount(f)
    owners = [with_callback(record_type, field, f)]
    owners.append(by_constructor(slot, owners[0]))
    owners.append(by_assignment(slot, owners[0]))
    owners.append(by_constructor(slot, getattr(owners[1], slot)))  # a copy of a copy
    assert sys.getrefcount(f) == base + 4
    references = [getattr(owner, slot) for owner in owners[1:]]
    assert sys.getrefcount(f) == base + 4  # a reference is no owner
    del references
    while owners:
        owners.pop(0)
        assert sys.getrefcount(f) == base + len(owners)


class Host:
    def on_event(self, arg):
        pass


def in_the_record(host, record_type, field, slot):
    host.record = with_callback(record_type, field, host.on_event)


def copied_into_attributes(host, record_type, field, slot):
    host.record = by_constructor(slot, with_callback(record_type, field, host.on_event))


def set_through_a_reference(host, record_type, field, slot):
    host.record = by_assignment(slot, RECORDS[record_type][0]())
    setattr(getattr(host.record, slot), field, host.on_event)


def held_by_a_reference_only(host, record_type, field, slot):
    host.reference = getattr(by_constructor(slot, with_callback(record_type, field, host.on_event)), slot)


@pytest.mark.parametrize(
    "hold", [in_the_record, copied_into_attributes, set_through_a_reference, held_by_a_reference_only]
)
@pytest.mark.parametrize("record_type, field", FIELDS, ids=IDS)
def test_a_cycle_through_any_callback_field_is_collected(record_type, field, hold):
    host = Host()
    hold(host, record_type, field, RECORDS[record_type][1])
    ref = weakref.ref(host)
    del host
    gc.collect()
    assert ref() is None


def test_removing_a_config_releases_its_owners_reference_only():
    def f(frame):
        pass

    config = m.LanguageTranslationConfig("a", "b", callback=f)
    attributes = m.ProcessorAttributes(m.AudioAttributes(), config)
    base = sys.getrefcount(f)
    attributes.lt_config = None
    assert sys.getrefcount(f) == base - 1
    config.callback = print
    assert sys.getrefcount(f) == base - 2


class Completion:
    def __init__(self):
        self.complete = threading.Event()

    def __call__(self, frame):
        if frame.transcript_data_.complete:
            self.complete.set()


def test_a_processor_goes_on_calling_a_removed_configs_callable_until_closed(activated):
    rate = 16000
    transcripts = Completion()
    attributes = processor_attrs("translation", rate, local=True)
    attributes.lt_config = m.LanguageTranslationConfig("en-US", "es-ES", callback=transcripts)
    base = sys.getrefcount(transcripts)
    processor = activated.create_audio_processor(attributes)
    assert sys.getrefcount(transcripts) == base + 1  # the SDK's own holder
    attributes.lt_config = None
    assert sys.getrefcount(transcripts) == base
    audio = signals.dtmf_sequence(rate, "1", tail_s=1.0)[0].astype(np.float32)
    step = rate // 50
    for begin in range(0, audio.size, step):
        processor.process_frame(m.AudioFrame(audio[begin : begin + step]))
    assert transcripts.complete.wait(10)
    processor.close()
    assert sys.getrefcount(transcripts) == base - 1
