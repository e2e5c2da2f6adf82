"""Hardening of the substitute SDK: a transcript callback that falls behind
cannot grow its processor's queue without bound, caller text cannot break the
log's one line per operation, and native hosts' callbacks may end their own
thread (as CPython does to a thread entering a finalising interpreter)."""

import re
import subprocess
import threading
from pathlib import Path

import numpy as np
import pytest

import _tavix_module as m
from helpers import DEMO_KEY, processor_attrs, unless_fork_safe_allocator
from tavix import signals

RATE = 16000
T = m.TranscriptType

# sdk/engine/output_thread.h: kQueueCapacity
QUEUE_CAPACITY = 64


def log_lines(storage):
    return (Path(storage) / "logs" / "tavix.log").read_text(encoding="utf-8").split("\n")[:-1]


# --- a transcript callback slower than the audio --------------------------

# 20 keys each: well over the capacity in partial updates, under the 32-key cap.
SEQUENCES = ["1234567890*#ABCD1234", "55555666667777788888", "D#*0987654321DCBA000"]


class HeldConsumer:
    """A transcript callback that is stuck in its first call until `release`
    is set: the slowest consumer there is, and one that needs no timing."""

    def __init__(self):
        self.release = threading.Event()
        self.frames = []

    def __call__(self, frame):
        # A bound on the wait, so a broken SDK fails the test instead of hanging it.
        self.release.wait(30)
        data = frame.transcript_data_
        (segment,) = data.complete + data.partial
        self.frames.append((frame.type_, data.utterance_idx, bool(data.complete), segment.text))


def test_slow_transcript_callback_gets_a_bounded_backlog(activated, tmp_path):
    consumer = HeldConsumer()
    attributes = processor_attrs("translation", RATE, local=True)
    attributes.lt_config = m.LanguageTranslationConfig("en-US", "de-DE", callback=consumer)
    audio = np.concatenate(
        [signals.dtmf_sequence(RATE, keys, tail_s=1.0)[0] for keys in SEQUENCES])
    with activated.create_audio_processor(attributes) as processor:
        step = RATE // 10
        for begin in range(0, audio.size, step):
            processor.process_frame(m.AudioFrame(audio[begin:begin + step]))
        consumer.release.set()
    # Closing delivered the backlog: nothing arrives afterwards.
    delivered = consumer.frames

    # One update per ended key and one complete per sequence, each as two frames.
    produced = 2 * sum(len(keys) + 1 for keys in SEQUENCES)
    completes = 2 * len(SEQUENCES)
    # The frame stuck in the callback, a full queue, the completes and the
    # latest partials of the running sequence (one per type) beyond it.
    assert len(delivered) <= 1 + QUEUE_CAPACITY + completes + 2

    done = [(kind, text) for kind, _, complete, text in delivered if complete]
    assert [text for kind, text in done if kind == T.TRANSCRIPTION] == SEQUENCES
    assert len([kind for kind, _ in done if kind == T.TRANSLATION]) == len(SEQUENCES)

    # Dropping keeps the order: per type and utterance every update extends
    # the one before, and the complete comes last.
    for kind in (T.TRANSCRIPTION, T.TRANSLATION):
        for utterance in range(len(SEQUENCES)):
            updates = [(complete, text) for k, u, complete, text in delivered
                       if k == kind and u == utterance]
            assert updates[-1][0] and not any(complete for complete, _ in updates[:-1])
            lengths = [len(text) for _, text in updates]
            assert lengths == sorted(lengths)

    lines = log_lines(tmp_path / "storage")
    (destroyed,) = [l for l in lines if " destroy_audio_processor " in l]
    dropped = int(re.search(r" transcripts_dropped=(\d+)(?: |$)", destroyed).group(1))
    assert dropped > 0 and dropped == produced - len(delivered)
    # Once when dropping starts, not once per dropped frame.
    assert len([l for l in lines if " WARN transcripts_dropping " in l]) == 1


# --- caller text in the log -----------------------------------------------

# Raw text, and how it reads inside a quoted log field.
ESCAPES = [
    ("\n", r"\n"),
    ("\r\n", r"\r\n"),
    ("\t", r"\t"),
    ("\x00", r"\x00"),
    ("\x1b[2J", r"\x1b[2J"),
    ("\x0b\x0c\x1c\x1d\x1e", r"\x0b\x0c\x1c\x1d\x1e"),
    ("\x7f", r"\x7f"),
    ('"', r"\""),
    ("\\", r"\\"),
    ("\x85", r"\u0085"),
    ("\u2028\u2029", r"\u2028\u2029"),
    ("é✓", "é✓"),
]
LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (INFO|WARN) [a-z_]+( .*)?")
QUOTED = r'"((?:[^"\\]|\\.)*)"'


def unescape(field):
    """The caller's text back from a quoted log field."""
    def one(match):
        escape = match.group(0)
        simple = {r"\n": "\n", r"\r": "\r", r"\t": "\t", r"\"": '"', "\\\\": "\\"}
        return simple.get(escape) or chr(int(escape[2:], 16))
    return re.sub(r"\\(?:x[0-9a-f]{2}|u[0-9a-f]{4}|.)", one, field)


def assert_one_line_each(lines):
    for line in lines:
        assert LINE.fullmatch(line), repr(line)
        assert not re.search(r"[\x00-\x1f\x7f-\x9f\u2028\u2029]", line), repr(line)


def make_sdk(monkeypatch, storage, models_dir):
    monkeypatch.setenv("TAVIX_MODELS_DIR", str(models_dir))
    return m.create_sdk(m.InitParams(str(storage)))


def logged_model(sdk, text):
    with pytest.raises(RuntimeError):
        sdk.create_audio_processor(processor_attrs("pass" + text + "through"))
    return "pass" + text + "through", r"create_audio_processor model=" + QUOTED


def logged_language(sdk, text):
    attributes = processor_attrs("", RATE)
    attributes.lt_config = m.LanguageTranslationConfig("en" + text, "es")
    with pytest.raises(ValueError):
        sdk.create_audio_processor(attributes)
    # The refusal's message quotes the code, and the log quotes the message.
    return "en" + text, r"create_audio_processor refused reason=" + QUOTED


@pytest.mark.parametrize("raw, escaped", ESCAPES)
@pytest.mark.parametrize("operation", [logged_model, logged_language])
def test_caller_text_in_a_processor_request_stays_on_its_line(
        monkeypatch, tmp_path, operation, raw, escaped):
    storage = tmp_path / "storage"
    sdk = make_sdk(monkeypatch, storage, tmp_path / "models")
    assert sdk.activate_api_key(DEMO_KEY).success
    before = log_lines(storage)
    value, pattern = operation(sdk, raw)
    lines = log_lines(storage)

    assert lines[:len(before)] == before and len(lines) == len(before) + 1
    assert_one_line_each(lines)
    field = re.search(pattern, lines[-1]).group(1)
    if operation is logged_language:
        field = re.search("language_in " + QUOTED, unescape(field)).group(1)
    assert field == value.replace(raw, escaped)
    assert unescape(field) == value


@pytest.mark.parametrize("raw, escaped", [e for e in ESCAPES if e[0] not in ("\x00", "\\")])
@pytest.mark.parametrize("field", ["storage_dir", "models_dir"])
def test_caller_paths_stay_on_their_line(monkeypatch, tmp_path, field, raw, escaped):
    # A NUL never reaches a path (refused below), and a backslash is only a
    # character in a POSIX path: both are covered through the processor request.
    storage, models = tmp_path / "storage", tmp_path / "models"
    if field == "storage_dir":
        storage = tmp_path / ("st" + raw + "ore")
    else:
        models = tmp_path / ("mod" + raw + "els")
    make_sdk(monkeypatch, storage, models)
    lines = log_lines(storage)

    assert_one_line_each(lines)
    (created,) = [l for l in lines if " create_sdk " in l]
    logged = re.search(field + "=" + QUOTED, created).group(1)
    assert escaped in logged
    assert unescape(logged) == str(storage if field == "storage_dir" else models)


def assigned_storage_dir(path):
    params = m.InitParams("unused")
    params.storage_dir = path
    return params


@pytest.mark.parametrize("params", [m.InitParams, assigned_storage_dir])
def test_storage_dir_with_nul_creates_nothing(tmp_path, params):
    with pytest.raises(ValueError):
        m.create_sdk(params(str(tmp_path / "cut") + "\x00" + "/rest"))
    assert list(tmp_path.iterdir()) == []


# --- native hosts ---------------------------------------------------------

HOST_CHECK = Path(m.__file__).parent / "sdk" / "tavix_sdk_host_check"


@pytest.mark.skipif(not HOST_CHECK.exists(), reason="needs the build tree's SDK check")
@pytest.mark.parametrize("case", [
    # A callback ends its thread with pthread_exit; the SDK must let the
    # forced unwind through and stay usable.
    "activation-callback-exits",
    "state-callback-exits-on-trying",
    "state-callback-exits-on-running",
    "transcript-callback-exits",
    "release-handed-off-then-exit",
    # A processor destroyed inside its own callback aborts the process (a
    # child of the check), naming the mistake.
    "release-inside-aborts",
    # After fork the child abandons the parent's processor and SDK (they
    # neither hang nor abort there) and makes its own.
    pytest.param("fork-abandons-parents-objects", marks=unless_fork_safe_allocator),
    # What the binding refuses before the SDK sees it, and bytes Python
    # strings cannot hold.
    "nul-in-storage-dir",
    "nul-in-models-dir",
    "raw-bytes-in-log",
])
def test_native_host_case(tmp_path, case):
    # A child process: a regression aborts or hangs it, not pytest.
    done = subprocess.run([str(HOST_CHECK), str(tmp_path), case], capture_output=True,
                          text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr
