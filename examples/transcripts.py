"""Transcripts of the translation pipeline: DTMF keys in, their words out."""

import threading

import tavix
from tavix import signals

keys, _ = signals.dtmf_sequence(16000, "2026#", tail_s=1.0)

with tavix.Session() as session:
    stream = session.stream(rate=16000, translate=("en-US", "es-ES"))

    def show() -> None:
        for t in stream.transcripts:  # blocks for each; ends once the stream is closed
            if t.final:
                print(f"{t.kind.name:<13} {t.language} {t.text!r} ({t.start:.2f}-{t.end:.2f} s)")

    reader = threading.Thread(target=show)
    reader.start()
    with stream:
        for start in range(0, len(keys), 320):
            stream.process(keys[start:start + 320])
        stream.flush()
    reader.join()
