"""What more than two channels cost through `Session.process`: the same
seconds of noise as 1, 2, 4 and 6 channels (denoise, local path), each time
per channel set against mono's, in one run.

    PYTHONPATH=build/<dir>:python python bench/bench_channels.py [--repeats N] [--seconds S]

Beyond stereo each pair of channels has a processor of its own (tavix's
channel split); the ratio per channel shows what splitting and merging add
on top of the SDK's own cost. Prints the best of --repeats runs of each,
with the machine and the load average. Not a test: nothing asserts a time."""

from __future__ import annotations

import argparse
import os
import platform
import tempfile
import time

import numpy as np

import tavix
from tavix.cli import DEMO_KEY

RATE = 48000


def best_time(session: tavix.Session, audio: np.ndarray, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        session.process(audio, rate=RATE, model="denoise", cloud=False)
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    frames = int(args.seconds * RATE)
    print(f"machine: {platform.machine()} {os.cpu_count()} cores, load average before "
          f"{os.getloadavg()[0]:.2f}; {args.seconds:g} s at {RATE} Hz, best of {args.repeats}")
    with tempfile.TemporaryDirectory() as storage, tavix.Session(DEMO_KEY, storage_dir=storage) as session:
        mono = None
        for channels in (1, 2, 4, 6):
            audio = (0.1 * rng.standard_normal((frames, channels))).astype(np.float32)
            per_channel = best_time(session, audio, args.repeats) / channels
            mono = mono or per_channel
            print(f"{channels} channels: real-time factor {per_channel * channels / args.seconds:.4f}, "
                  f"per channel {per_channel / mono:.2f}x mono's")
    print(f"load average after {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
