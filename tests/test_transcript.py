import os
import subprocess
import sys
import threading
from collections.abc import Sequence

import pytest

import _tavix_module as m

LISTS = ["complete", "partial"]
LONG = 200  # long enough that strings live on the heap, where stale reads would show
T = m.TranscriptType


def segment(text="", **fields):
    s = m.TranscriptSegment()
    s.text = text
    for name, value in fields.items():
        setattr(s, name, value)
    return s


def texts(segments):
    return [s.text for s in segments]


def data_with(field, *words):
    d = m.TranscriptData()
    setattr(d, field, [segment(w) for w in words])
    return d


@pytest.mark.parametrize(
    "make, name, expected",
    [(m.TranscriptSegment, n, "") for n in ("start", "end", "text", "redacted_text")]
    + [(m.TranscriptSegment, "probability", 0.0), (m.TranscriptData, "complete", []),
       (m.TranscriptData, "partial", []), (m.TranscriptData, "utterance_idx", 0),
       (m.TranscriptData, "language_code_", ""), (m.TextFrame, "type_", T.TRANSLATION)],
)
def test_new_records_hold_defaults(make, name, expected):
    value = getattr(make(), name)
    assert value == expected and type(value) is type(expected)


STRINGS = [(m.TranscriptSegment, n) for n in ("start", "end", "text", "redacted_text")]
STRINGS.append((m.TranscriptData, "language_code_"))
NUMBERS = [
    # record, field, accepted (value, stored), refused
    (m.TranscriptSegment, "probability", [(1.5, 1.5), (1, 1.0), (-3.25, -3.25)], ["0.7", None]),
    (m.TranscriptData, "utterance_idx", [(4294967295, 4294967295), (0, 0)],
     [-1, 4294967296, 2.0, None, "3"]),
    (m.TextFrame, "type_", [(1, T.TRANSCRIPTION), (0, T.TRANSLATION)],
     [2, -1, 1.0, None, "TRANSCRIPTION"]),
]
FIELDS = [(make, name, [("größe ✓ 𝄞", "größe ✓ 𝄞")], [b"bytes", None, 1, "\ud800"])
          for make, name in STRINGS] + NUMBERS


@pytest.mark.parametrize("make, name, accepted, refused", FIELDS,
                         ids=[f"{f[0].__name__}.{f[1]}" for f in FIELDS])
def test_fields_store_what_they_accept_and_keep_it_on_refusal(make, name, accepted, refused):
    record = make()
    for value, stored in accepted:
        setattr(record, name, value)
        assert getattr(record, name) == stored and type(getattr(record, name)) is type(stored)
    for value in refused:
        with pytest.raises(TypeError):
            setattr(record, name, value)
        assert getattr(record, name) == stored


class Custom(Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Failing(Custom):
    def __getitem__(self, i):
        if i == len(self.items) - 1:
            raise RuntimeError("no last item")
        return self.items[i]


@pytest.mark.parametrize("field", LISTS)
@pytest.mark.parametrize("wrap", [list, tuple, Custom], ids=["list", "tuple", "sequence"])
def test_lists_accept_any_sequence_of_segments_as_copies(field, wrap):
    a, b = segment("a" * LONG), segment("b")
    d = m.TranscriptData()
    setattr(d, field, wrap([a, b, a]))
    a.text = "changed"
    assert texts(getattr(d, field)) == ["a" * LONG, "b", "a" * LONG]


@pytest.mark.parametrize("field", LISTS)
@pytest.mark.parametrize(
    "bad",
    ["ab", b"ab", None, 5, [segment("new"), 5], [segment("new"), None],
     (segment("new") for _ in range(2)), Failing([segment("new")] * 3), [m.TranscriptData()]],
    ids=["str", "bytes", "none", "int", "int-item", "none-item", "generator",
         "failing-sequence", "wrong-record"],
)
def test_lists_are_never_partly_replaced(field, bad):
    d = data_with(field, "old", "older")
    reader = getattr(d, field)[0]
    with pytest.raises(TypeError):
        setattr(d, field, bad)
    assert texts(getattr(d, field)) == ["old", "older"]
    reader.text = "still the record"  # a failed assignment retires nothing
    assert getattr(d, field)[0].text == "still the record"


@pytest.mark.parametrize("field", LISTS)
def test_list_elements_refer_into_the_record_and_keep_it_alive(field):
    d = data_with(field, "a", "b" * LONG)
    read = getattr(d, field)
    read[0].text = "written"
    read.append(segment("c"))  # the list itself is the caller's
    element = read[1]
    assert texts(getattr(d, field)) == ["written", "b" * LONG]
    del d, read
    m.TranscriptData().complete = [segment("y" * LONG) for _ in range(50)]
    assert element.text == "b" * LONG


def test_payload_is_a_reference_that_keeps_the_frame_alive():
    f = m.TextFrame()
    payload = f.transcript_data_
    payload.utterance_idx = 7
    payload.complete = [segment("kept")]
    assert f.transcript_data_.utterance_idx == 7
    f.transcript_data_.complete[0].text = "deep"
    del f
    assert payload.utterance_idx == 7 and texts(payload.complete) == ["deep"]


def test_payload_is_copied_in_and_its_readers_follow():
    d = data_with("partial", "p")
    d.utterance_idx, d.language_code_ = 3, "en-US"
    f = m.TextFrame()
    held = f.transcript_data_
    f.transcript_data_ = d
    d.utterance_idx = 9
    d.partial[0].text = "changed"
    assert (held.utterance_idx, held.language_code_, texts(held.partial)) == (3, "en-US", ["p"])


@pytest.mark.parametrize("bad", [None, m.TranscriptSegment(), m.TextFrame()])
def test_payload_refuses_other_values(bad):
    f = m.TextFrame()
    f.transcript_data_ = data_with("complete", "kept")
    with pytest.raises(TypeError):
        f.transcript_data_ = bad
    assert texts(f.transcript_data_.complete) == ["kept"]


def list_to_itself(owner, field):
    setattr(owner, field, getattr(owner, field))


def new_list(owner, field):
    setattr(owner, field, [segment("new" * LONG)])


def payload_to_itself(frame, field):
    frame.transcript_data_ = frame.transcript_data_


def new_payload(frame, field):
    frame.transcript_data_ = data_with(field, "new" * LONG)


def owner_and_data(kind, field, words):
    f = m.TextFrame()
    f.transcript_data_ = data_with(field, *words)
    if kind == "data":
        d = data_with(field, *words)
        return d, d
    return (f if kind == "frame" else f.transcript_data_), f.transcript_data_


@pytest.mark.parametrize("field", LISTS)
@pytest.mark.parametrize(
    "kind, replace",
    [("data", list_to_itself), ("data", new_list), ("payload", list_to_itself),
     ("payload", new_list), ("frame", payload_to_itself), ("frame", new_payload)],
    ids=lambda r: getattr(r, "__name__", r),
)
def test_elements_read_before_a_replacement_stay_sane(field, kind, replace):
    words = [c * LONG for c in "abc"]
    owner, data = owner_and_data(kind, field, words)
    stale = getattr(data, field)[1]

    replace(owner, field)
    # Churn the allocator: freed or reused segment storage would show here.
    m.TranscriptData().partial = [segment(str(i) * LONG) for i in range(200)]

    assert stale.text == words[1]
    stale.text = "z" * LONG  # writes to a retired element never reach the record
    expected = words if replace.__name__.endswith("itself") else ["new" * LONG]
    assert texts(getattr(data, field)) == expected


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer holds freed memory back")
@pytest.mark.parametrize("hold", ["nothing", "latest-element", "latest-list", "payload"])
def test_replacing_in_a_loop_keeps_memory_bounded(hold):
    megabyte = segment("m" * (1 << 20))
    f = m.TextFrame()
    d = f.transcript_data_
    held = None

    def one_round():
        nonlocal held
        if hold == "payload":
            f.transcript_data_ = data_with("complete")
            f.transcript_data_.complete = [megabyte]
        else:
            d.complete = [megabyte]
        if hold != "nothing":
            held = d.complete[0] if hold == "latest-element" else d.complete

    for _ in range(20):
        one_round()
    before = resident_bytes()
    for _ in range(400):  # retaining every generation would take 400 MiB
        one_round()
    growth = resident_bytes() - before
    assert growth < 64 << 20, f"resident memory grew by {growth >> 20} MiB"


def test_readers_of_retired_lists_leave_nothing_behind_at_exit():
    script = """
import _tavix_module as m
f, s, readers = m.TextFrame(), m.TranscriptSegment(), []
for i in range(50):
    f.transcript_data_.complete = [s, s]
    readers.append(f.transcript_data_.complete)
    f.transcript_data_ = m.TranscriptData()
print(sum(len(r) for r in readers))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "100"), result.stderr
    assert "leaked" not in result.stderr


def test_threads_reading_and_replacing_one_list():
    d = data_with("complete", *["w" * LONG] * 4)
    errors = []

    def work(seed):
        try:
            for i in range(2000):
                if (i + seed) % 3 == 0:
                    d.complete = [segment(str(seed) * LONG)] * (1 + i % 5)
                else:
                    assert all(len(element.text) == LONG for element in d.complete)
        except Exception as exc:  # reported on the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads) and errors == []
