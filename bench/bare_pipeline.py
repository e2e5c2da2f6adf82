"""The floor that `process_file` and `tavix process` are held against: an
audio file read in blocks with soundfile, 20 ms frames through
`process_frame` written into one output block, each block written with
soundfile. No realignment, no staging, no checks: what a user would write by
hand for one file.

Imported by bench/run.py (the in-process rows), and run as a process of its
own against the command line:

    TAVIX_API_KEY=... python bench/bare_pipeline.py IN OUT STORAGE_DIR"""

from __future__ import annotations

import os
import sys

import numpy as np
import soundfile

import _tavix_module as m

#: Frames read per block: the same second at 48 kHz that process_file reads.
READ_BLOCK = 48000


def bare_file_loop(process_frame, source: str, destination: str) -> int:
    """`source` through `process_frame` into `destination`, a mono file in
    20 ms frames; returns the frames written."""
    AudioFrame, written = m.AudioFrame, 0
    with soundfile.SoundFile(source) as infile:
        rate, step = infile.samplerate, infile.samplerate // 50
        # Whole frames per block (882 at 44.1 kHz does not divide 48,000):
        # only the file's last part frame is left out.
        frames = READ_BLOCK - READ_BLOCK % step
        out = np.empty(frames, np.float32)
        with soundfile.SoundFile(destination, "w", rate, 1, subtype=infile.subtype) as outfile:
            for block in infile.blocks(frames, dtype="float32"):
                usable = len(block) - len(block) % step
                position = 0
                for begin in range(0, usable, step):
                    got = np.frombuffer(process_frame(AudioFrame(block[begin:begin + step])).samples, np.float32)
                    out[position:position + got.size] = got
                    position += got.size
                outfile.write(out[:position])
                written += position
    return written


def main(source: str, destination: str, storage: str) -> None:
    sdk = m.create_sdk(m.InitParams(storage))
    result = sdk.activate_api_key(os.environ["TAVIX_API_KEY"])
    if not result.success:
        raise SystemExit(f"activation failed: {result.error_type}: {result.message}")
    rate = soundfile.info(source).samplerate
    processor = sdk.create_audio_processor(m.ProcessorAttributes(m.AudioAttributes(rate, 1, "denoise")))
    bare_file_loop(processor.process_frame, source, destination)
    processor.close()


if __name__ == "__main__":
    main(*sys.argv[1:4])
