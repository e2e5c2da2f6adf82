import os
import subprocess
import sys
import threading
from collections.abc import Sequence

import pytest

import _tavix_module as tx

LISTS = ["complete", "partial"]
LONG = 200  # long enough that strings live on the heap, where stale reads would show


def segment(text="", **fields):
    s = tx.TranscriptSegment()
    s.text = text
    for name, value in fields.items():
        setattr(s, name, value)
    return s


def texts(segments):
    return [s.text for s in segments]


def data_with(field, *words):
    d = tx.TranscriptData()
    setattr(d, field, [segment(w) for w in words])
    return d


@pytest.mark.parametrize(
    "make, name, expected",
    [
        (tx.TranscriptSegment, "start", ""),
        (tx.TranscriptSegment, "end", ""),
        (tx.TranscriptSegment, "probability", 0.0),
        (tx.TranscriptSegment, "text", ""),
        (tx.TranscriptSegment, "redacted_text", ""),
        (tx.TranscriptData, "complete", []),
        (tx.TranscriptData, "partial", []),
        (tx.TranscriptData, "utterance_idx", 0),
        (tx.TranscriptData, "language_code_", ""),
        (tx.TextFrame, "type_", tx.TranscriptType.TRANSLATION),
    ],
)
def test_new_records_hold_defaults(make, name, expected):
    assert getattr(make(), name) == expected


def test_new_frame_has_an_empty_payload():
    payload = tx.TextFrame().transcript_data_
    assert (payload.complete, payload.partial, payload.utterance_idx) == ([], [], 0)
    assert tx.TextFrame().type_ is tx.TranscriptType.TRANSLATION


@pytest.mark.parametrize("make", [tx.TranscriptSegment, tx.TranscriptData, tx.TextFrame])
def test_constructor_takes_no_arguments(make):
    with pytest.raises(TypeError):
        make(make())


STRING_FIELDS = [(tx.TranscriptSegment, n) for n in ("start", "end", "text", "redacted_text")]
STRING_FIELDS.append((tx.TranscriptData, "language_code_"))


@pytest.mark.parametrize("make, name", STRING_FIELDS)
def test_string_fields_round_trip_unicode(make, name):
    record = make()
    setattr(record, name, "größe ✓ 𝄞")
    assert getattr(record, name) == "größe ✓ 𝄞"


@pytest.mark.parametrize("make, name", STRING_FIELDS)
@pytest.mark.parametrize("bad", [b"bytes", None, 1, "\ud800"], ids=["bytes", "none", "int", "lone-surrogate"])
def test_string_fields_refuse_other_values_and_keep_theirs(make, name, bad):
    record = make()
    setattr(record, name, "kept")
    with pytest.raises(TypeError):
        setattr(record, name, bad)
    assert getattr(record, name) == "kept"


@pytest.mark.parametrize("value, stored", [(1.5, 1.5), (1, 1.0), (-3.25, -3.25)])
def test_probability_is_stored_unclamped(value, stored):
    s = segment(probability=value)
    assert s.probability == stored and type(s.probability) is float


@pytest.mark.parametrize(
    "name, good, bad",
    [
        ("probability", 0.5, ["0.7", None]),
        ("utterance_idx", 4294967295, [-1, 4294967296, 2.0, None, "3"]),
    ],
)
def test_numeric_fields_refuse_values_out_of_their_type(name, good, bad):
    record = tx.TranscriptSegment() if name == "probability" else tx.TranscriptData()
    setattr(record, name, good)
    for value in bad:
        with pytest.raises(TypeError):
            setattr(record, name, value)
        assert getattr(record, name) == good


@pytest.mark.parametrize(
    "value, member",
    [(1, tx.TranscriptType.TRANSCRIPTION), (0, tx.TranscriptType.TRANSLATION),
     (tx.TranscriptType.TRANSCRIPTION, tx.TranscriptType.TRANSCRIPTION)],
)
def test_type_accepts_members_and_their_values(value, member):
    f = tx.TextFrame()
    f.type_ = value
    assert f.type_ is member


@pytest.mark.parametrize("bad", [2, -1, 1.0, None, "TRANSCRIPTION"])
def test_type_refuses_other_values(bad):
    f = tx.TextFrame()
    f.type_ = tx.TranscriptType.TRANSCRIPTION
    with pytest.raises(TypeError):
        f.type_ = bad
    assert f.type_ is tx.TranscriptType.TRANSCRIPTION


class Custom(Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("field", LISTS)
@pytest.mark.parametrize("wrap", [list, tuple, Custom], ids=["list", "tuple", "sequence"])
def test_lists_accept_any_sequence_of_segments_as_copies(field, wrap):
    a, b = segment("a" * LONG), segment("b")
    d = tx.TranscriptData()
    setattr(d, field, wrap([a, b, a]))
    a.text = "changed"
    assert texts(getattr(d, field)) == ["a" * LONG, "b", "a" * LONG]


class Failing(Sequence):
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise RuntimeError("no third item")
        return segment("new")


@pytest.mark.parametrize("field", LISTS)
@pytest.mark.parametrize(
    "bad",
    ["ab", b"ab", None, 5, [segment("new"), 5], [segment("new"), None],
     (segment("new") for _ in range(2)), Failing(), [tx.TranscriptData()]],
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
def test_list_elements_refer_into_the_record(field):
    d = data_with(field, "a", "b")
    getattr(d, field)[1].text = "written"
    assert texts(getattr(d, field)) == ["a", "written"]


@pytest.mark.parametrize("field", LISTS)
def test_changing_a_read_list_leaves_the_record(field):
    d = data_with(field, "a")
    read = getattr(d, field)
    read.append(segment("b"))
    read[0] = segment("c")
    assert texts(getattr(d, field)) == ["a"]


@pytest.mark.parametrize("field", LISTS)
def test_list_elements_keep_the_record_alive(field):
    element = getattr(data_with(field, "x" * LONG), field)[0]
    tx.TranscriptData().complete = [segment("y" * LONG) for _ in range(50)]
    assert element.text == "x" * LONG


def test_payload_is_a_reference_that_keeps_the_frame_alive():
    f = tx.TextFrame()
    payload = f.transcript_data_
    payload.utterance_idx = 7
    payload.complete = [segment("kept")]
    assert f.transcript_data_.utterance_idx == 7
    f.transcript_data_.complete[0].text = "deep"
    del f
    assert payload.utterance_idx == 7 and texts(payload.complete) == ["deep"]


def test_payload_is_copied_in():
    d = data_with("partial", "p")
    d.utterance_idx, d.language_code_ = 3, "en-US"
    f = tx.TextFrame()
    held = f.transcript_data_
    f.transcript_data_ = d
    d.utterance_idx = 9
    d.partial[0].text = "changed"
    assert (held.utterance_idx, held.language_code_, texts(held.partial)) == (3, "en-US", ["p"])


@pytest.mark.parametrize("bad", [None, tx.TranscriptSegment(), tx.TextFrame()])
def test_payload_refuses_other_values(bad):
    f = tx.TextFrame()
    f.transcript_data_ = data_with("complete", "kept")
    with pytest.raises(TypeError):
        f.transcript_data_ = bad
    assert texts(f.transcript_data_.complete) == ["kept"]


def assign_list_to_itself(owner, field):
    setattr(owner, field, getattr(owner, field))


def assign_new_list(owner, field):
    setattr(owner, field, [segment("new" * LONG)])


def assign_payload_to_itself(frame, field):
    frame.transcript_data_ = frame.transcript_data_


def assign_new_payload(frame, field):
    frame.transcript_data_ = data_with(field, "new" * LONG)


REPLACEMENTS = [
    ("data", assign_list_to_itself),
    ("data", assign_new_list),
    ("payload", assign_list_to_itself),
    ("payload", assign_new_list),
    ("frame", assign_payload_to_itself),
    ("frame", assign_new_payload),
]


def owner_and_data(kind, field, words):
    f = tx.TextFrame()
    f.transcript_data_ = data_with(field, *words)
    if kind == "frame":
        return f, f.transcript_data_
    if kind == "payload":
        return f.transcript_data_, f.transcript_data_
    d = data_with(field, *words)
    return d, d


@pytest.mark.parametrize("field", LISTS)
@pytest.mark.parametrize("kind, replace", REPLACEMENTS, ids=lambda r: getattr(r, "__name__", r))
def test_elements_read_before_a_replacement_stay_sane(field, kind, replace):
    words = [c * LONG for c in "abc"]
    owner, data = owner_and_data(kind, field, words)
    before = texts(getattr(data, field))
    stale = getattr(data, field)[1]

    replace(owner, field)
    # Churn the allocator: freed or reused segment storage would show here.
    churn = [segment(str(i) * LONG) for i in range(200)]
    tx.TranscriptData().partial = churn

    assert stale.text == words[1]
    stale.text = "z" * LONG  # writes to a retired element never reach the record
    current = texts(getattr(data, field))
    assert current == (before if replace.__name__.endswith("itself") else ["new" * LONG])


@pytest.mark.parametrize("field", LISTS)
def test_self_assignment_keeps_the_segments(field):
    d = data_with(field, "a" * LONG, "b")
    setattr(d, field, getattr(d, field))
    assert texts(getattr(d, field)) == ["a" * LONG, "b"]
    f = tx.TextFrame()
    f.transcript_data_ = d
    f.transcript_data_ = f.transcript_data_
    assert texts(getattr(f.transcript_data_, field)) == ["a" * LONG, "b"]


def test_reference_to_payload_follows_reassignment():
    f = tx.TextFrame()
    payload = f.transcript_data_
    d = data_with("complete", "new")
    d.utterance_idx = 42
    f.transcript_data_ = d
    assert payload.utterance_idx == 42 and texts(payload.complete) == ["new"]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("hold", ["nothing", "latest-element", "latest-list", "payload"])
def test_replacing_in_a_loop_keeps_memory_bounded(hold):
    megabyte = segment("m" * (1 << 20))
    f = tx.TextFrame()
    d = f.transcript_data_
    held = None
    rounds = 400  # retaining every generation would take 400 MiB

    def one_round():
        nonlocal held
        if hold == "payload":
            f.transcript_data_ = data_with("complete")
            f.transcript_data_.complete = [megabyte]
        else:
            d.complete = [megabyte]
        if hold == "latest-element":
            held = d.complete[0]
        elif hold in ("latest-list", "payload"):
            held = d.complete

    for _ in range(20):
        one_round()
    before = resident_bytes()
    for _ in range(rounds):
        one_round()
    growth = resident_bytes() - before
    assert growth < 64 << 20, f"resident memory grew by {growth >> 20} MiB"


def test_readers_of_retired_lists_leave_nothing_behind_at_exit():
    script = """
import _tavix_module as tx
f = tx.TextFrame()
s = tx.TranscriptSegment()
readers = []
for i in range(50):
    f.transcript_data_.complete = [s, s]
    readers.append(f.transcript_data_.complete)
    f.transcript_data_ = tx.TranscriptData()
print(sum(len(r) for r in readers))
del f, readers
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=os.environ, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "100"
    assert "leaked" not in result.stderr


def test_threads_reading_and_replacing_one_list():
    d = data_with("complete", *("w" * LONG for _ in range(4)))
    errors = []

    def work(seed):
        try:
            for i in range(2000):
                if (i + seed) % 3 == 0:
                    d.complete = [segment(str(seed) * LONG) for _ in range(1 + i % 5)]
                else:
                    for element in d.complete:
                        assert len(element.text) == LONG
        except Exception as exc:  # reported below, on the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
