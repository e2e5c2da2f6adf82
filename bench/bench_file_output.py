"""What checking an output before it replaces anything costs `process_file`.

    PYTHONPATH=build/<dir>:python python bench/bench_file_output.py [--repeats N] [--folder DIR]

Processes the same file (passthrough, local path) with the checks a staged
output makes before its rename (fsync, then counting the frames in the file)
and with both made no-ops, alternating, over --repeats rounds; prints the
best and median of each side and the ratio of the bests, with the machine
and the load average. `--folder` picks the file system written to (the
cost of fsync is the disk's). Not a test: nothing here asserts a time."""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile

import tavix
from tavix import _staged_output, signals
from tavix.cli import DEMO_KEY


def one_run(session: tavix.Session, source: Path, destination: Path) -> float:
    started = time.perf_counter()
    tavix.process_file(source, destination, model="passthrough", session=session, cloud=False)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--suffix", default=".wav")
    parser.add_argument("--folder", default=None)
    args = parser.parse_args()
    checks = (_staged_output.StagedOutput._sync, _staged_output.StagedOutput._check_length)
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        source = Path(folder) / "in.wav"
        rng = np.random.default_rng(0)
        audio = np.stack([signals.tone(48000, args.seconds),
                          rng.uniform(-0.3, 0.3, int(48000 * args.seconds)).astype(np.float32)], 1)
        soundfile.write(source, audio, 48000, subtype="PCM_16")
        destination = Path(folder) / f"out{args.suffix}"
        times: dict[str, list[float]] = {"checked": [], "unchecked": []}
        with tavix.Session(DEMO_KEY, storage_dir=Path(folder) / "storage") as session:
            one_run(session, source, destination)  # warm the page cache and the SDK
            for _ in range(args.repeats):
                for side in times:
                    if side == "unchecked":
                        _staged_output.StagedOutput._sync = lambda self: None  # type: ignore[method-assign]
                        _staged_output.StagedOutput._check_length = lambda self: None  # type: ignore[method-assign]
                    try:
                        times[side].append(one_run(session, source, destination))
                    finally:
                        _staged_output.StagedOutput._sync, _staged_output.StagedOutput._check_length = checks
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; "
          f"load average {os.getloadavg()[0]:.2f}; {args.seconds:.0f} s of 48 kHz stereo to "
          f"{args.suffix}, {args.repeats} rounds")
    for side, values in times.items():
        print(f"{side:>9}: best {min(values) * 1000:8.1f} ms, median {statistics.median(values) * 1000:8.1f} ms")
    print(f"ratio of the bests, checked / unchecked: {min(times['checked']) / min(times['unchecked']):.3f}")


if __name__ == "__main__":
    main()
