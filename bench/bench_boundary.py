"""Costs at the Python/SDK boundary, each measured side by side with a
reference in the same run and printed as a ratio.

    python bench/bench_boundary.py [--key KEY]

Needs the package installed (./scripts/run-demo installs it into .venv)."""

from __future__ import annotations

import argparse
import os
import tempfile
import threading
import timeit

import numpy as np

import _tavix_module as m
from tavix.cli import DEMO_KEY


def best_of(statement, number: int, repeat: int = 7) -> float:
    """Seconds per call, best of `repeat` runs of `number` calls."""
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


def row(name: str, ours: float, reference: float, reference_name: str) -> None:
    print(f"{name:<44} {ours * 1e6:10.2f} us   {reference_name:<28} {reference * 1e6:10.2f} us"
          f"   ratio {ours / reference:8.3f}")


def bench_frames() -> None:
    for seconds in (0.02, 1.0, 10.0):
        samples = np.random.default_rng(0).standard_normal(int(48000 * seconds)).astype(np.float32)
        ours = best_of(lambda: m.AudioFrame(samples), 2000)
        copy = best_of(lambda: samples.copy(), 2000)
        row(f"AudioFrame(array) of {seconds:g} s at 48 kHz", ours, copy, "array.copy()")
    frame = m.AudioFrame(samples)
    ours = best_of(lambda: np.frombuffer(frame.samples, np.float32), 20000)
    copy = best_of(lambda: bytes(frame.samples), 200)
    row("frame.samples as numpy (10 s)", ours, copy, "bytes(frame.samples)")


def bench_processing(key: str) -> None:
    os.environ["TAVIX_LOCAL_INFERENCING"] = "1"
    with tempfile.TemporaryDirectory() as storage:
        sdk = m.create_sdk(m.InitParams(storage))
        if not sdk.activate_api_key(key).success:
            print("processing: activation failed, skipped")
            return
        rate, chunk = 48000, 960  # 20 ms frames
        frame = m.AudioFrame(np.random.default_rng(1).standard_normal(chunk).astype(np.float32) * 0.1)
        delay = np.zeros(chunk * 4, np.float32)

        def numpy_delay_line():
            delay[:-chunk] = delay[chunk:]
            delay[-chunk:] = frame.samples
            return delay[:chunk].copy()

        reference = best_of(numpy_delay_line, 2000)
        # process_frame copies the SDK's output into the frame it returns; an
        # ndarray copy of the same size (allocation, copy, object) bounds it.
        output = np.zeros(chunk, np.float32)
        copy = best_of(output.copy, 20000)
        for model in ("passthrough", "denoise"):
            attrs = m.ProcessorAttributes(m.AudioAttributes(rate, 1, model))
            with sdk.create_audio_processor(attrs) as processor:
                ours = best_of(lambda: processor.process_frame(frame), 500)
            row(f"process_frame {model} (20 ms, 48 kHz)", ours, reference, "numpy delay line")
            row(f"  its output copy, at most ({chunk * 4} bytes)", copy, ours,
                f"process_frame {model}")
            print(f"{'':<44} real-time factor {ours / 0.020:.6f} (processing time / audio time)")


def bench_callbacks() -> None:
    calls = []
    ours = best_of(lambda: m._gil_selftest(calls.append), 300)

    def python_thread():
        thread = threading.Thread(target=calls.append, args=(42,))
        thread.start()
        thread.join()

    reference = best_of(python_thread, 300)
    row("_gil_selftest (native thread + callback)", ours, reference, "threading.Thread start/join")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--key", default=DEMO_KEY)
    args = parser.parse_args()
    bench_frames()
    bench_processing(args.key)
    bench_callbacks()


if __name__ == "__main__":
    main()
