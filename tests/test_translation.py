"""The translation pipeline end to end: DTMF key tones are transcribed as
their keys (TRANSCRIPTION) and translated into number words (TRANSLATION),
partial while a key sequence runs, complete after its pause, one utterance
index per sequence."""

import threading

import numpy as np
import pytest

import _tavix_module as m
from helpers import processor_attrs
from tavix import signals

RATE = 16000
CHUNK_S = 0.02
T = m.TranscriptType

SEQUENCES = ["12#", "4*", "0D"]
# language_in, language_out, and the complete translation of each sequence
LANGUAGES = [
    ("en-US", "es-ES", ["uno dos almohadilla", "cuatro asterisco", "cero de"]),
    ("fr-FR", "de-DE", ["eins zwei Raute", "vier Stern", "null D"]),
]


class Transcripts:
    """Collects TextFrames from the SDK's thread; `done` is set once
    `sequences` complete translations arrived."""

    def __init__(self, sequences):
        self.sequences = sequences
        self.frames = []
        self.done = threading.Event()
        self.lock = threading.Lock()

    def __call__(self, frame):
        with self.lock:
            self.frames.append(frame)
            finished = sum(
                1 for f in self.frames if f.type_ == T.TRANSLATION and f.transcript_data_.complete
            )
        if finished >= self.sequences:
            self.done.set()

    def of_type(self, kind):
        with self.lock:
            return [f.transcript_data_ for f in self.frames if f.type_ == kind]


def key_sequences(snr_db=None, lead=None):
    """The sequences, each followed by a pause long enough to end it, after
    `lead` audio if given; in white noise at `snr_db` if given."""
    pieces = [signals.dtmf_sequence(RATE, keys, tail_s=1.0)[0] for keys in SEQUENCES]
    audio = np.concatenate(([] if lead is None else [lead]) + pieces)
    return audio if snr_db is None else signals.with_noise(audio, snr_db, seed=7)


def translate(sdk, audio, language_in="en-US", language_out="es-ES", sequences=len(SEQUENCES)):
    """Streams `audio` through a local translation processor and returns the
    transcripts once `sequences` sequences came out complete."""
    transcripts = Transcripts(sequences)
    attributes = processor_attrs("translation", RATE, local=True)
    attributes.lt_config = m.LanguageTranslationConfig(
        language_in, language_out, callback=transcripts
    )
    with sdk.create_audio_processor(attributes) as processor:
        step = int(RATE * CHUNK_S)
        for begin in range(0, audio.size, step):
            processor.process_frame(m.AudioFrame(audio[begin : begin + step]))
        assert transcripts.done.wait(10), "not every key sequence came out complete"
    return transcripts


def only_segment(data):
    (segment,) = data.complete + data.partial
    return segment


def progress(frames):
    """(utterance, partial?, text) for each frame, in arrival order."""
    return [(d.utterance_idx, bool(d.partial), only_segment(d).text) for d in frames]


def expected_progress(texts):
    """Partials growing item by item, then the complete text, per sequence;
    `texts` holds each sequence's items (keys, or words)."""
    steps = []
    for utterance, items in enumerate(texts):
        joined = "".join if isinstance(items, str) else " ".join
        for count in range(1, len(items) + 1):
            steps.append((utterance, True, joined(items[:count])))
        steps.append((utterance, False, joined(items)))
    return steps


@pytest.mark.parametrize("language_in, language_out, words", LANGUAGES)
@pytest.mark.parametrize("snr_db", [None, 15.0])
def test_keys_transcribed_and_translated(activated, language_in, language_out, words, snr_db):
    transcripts = translate(activated, key_sequences(snr_db), language_in, language_out)
    transcription = transcripts.of_type(T.TRANSCRIPTION)
    translation = transcripts.of_type(T.TRANSLATION)

    assert progress(transcription) == expected_progress(SEQUENCES)
    assert progress(translation) == expected_progress([w.split() for w in words])
    assert {d.language_code_ for d in transcription} == {language_in}
    assert {d.language_code_ for d in translation} == {language_out}


def test_segments_carry_times_and_probability(activated):
    transcripts = translate(activated, key_sequences(15.0))
    transcription = transcripts.of_type(T.TRANSCRIPTION)
    translation = transcripts.of_type(T.TRANSLATION)
    assert len(transcription) == len(translation)
    for said, meant in zip(transcription, translation):
        a, b = only_segment(said), only_segment(meant)
        assert (a.start, a.end, a.probability) == (b.start, b.end, b.probability)
        assert 0.5 < a.probability <= 1.0  # the keys clearly dominate 15 dB noise
        assert 0.0 <= float(a.start) < float(a.end)

    # A complete segment spans its sequence: first key's onset to last key's end.
    completes = [only_segment(d) for d in transcription if d.complete]
    offset = 0.0
    for segment, keys in zip(completes, SEQUENCES):
        samples, spans = signals.dtmf_sequence(RATE, keys, tail_s=1.0)
        assert float(segment.start) == pytest.approx(offset + spans[0][0], abs=0.03)
        assert float(segment.end) == pytest.approx(offset + spans[-1][1], abs=0.03)
        offset += samples.size / RATE


def test_no_keys_from_plain_tone_or_noise(activated):
    # A row tone alone, then white noise, before the keys: only the real key
    # sequences may come out, under their own utterance indices.
    row_tone = signals.tone(RATE, 2.0, 697.0, 0.3)
    noise = np.random.default_rng(3).normal(0.0, 0.1, 2 * RATE).astype(np.float32)
    audio = key_sequences(lead=np.concatenate([row_tone, noise]))
    transcription = translate(activated, audio).of_type(T.TRANSCRIPTION)
    assert progress(transcription) == expected_progress(SEQUENCES)


def test_long_key_run_is_split_into_utterances(activated):
    # Keys with gaps far shorter than the ending pause: the sequence is
    # finalised after its 32nd key and the rest starts the next utterance.
    keys = ("0123456789*#ABCD" * 3)[:40]
    audio, _ = signals.dtmf_sequence(RATE, keys, tone_s=0.05, pause_s=0.05, tail_s=1.0)
    transcription = translate(activated, audio, sequences=2).of_type(T.TRANSCRIPTION)
    completes = [(d.utterance_idx, only_segment(d).text) for d in transcription if d.complete]
    assert completes == [(0, keys[:32]), (1, keys[32:])]
