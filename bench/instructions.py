"""Instructions per operation of the layer's loops, counted under valgrind's
callgrind: a measure that other processes on the machine do not disturb,
for profiling where bench/run.py's wall-clock ratios are too noisy.

    PYTHONPATH=build/dev:python .venv/bin/python bench/instructions.py [SIDE ...]

Each side runs twice in a child process under callgrind, over a short and a
long stretch of audio (or number of calls); the difference of the two counts
is the work of the extra stretch alone, without start-up and set-up. Printed
per 20 ms of audio (per call for the `process_frame` sides) and, for the
layer's sides, as a ratio to the bare `process_frame` loop, as in
bench/run.py. Needs valgrind (apt-get install valgrind); each side takes
about 20-40 s of one core.

    --annotate SIDE   also prints callgrind_annotate's functions of the long run"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

RATE = 48000
STEP = RATE // 50
#: Seconds of audio (layer sides) or thousands of calls (frame sides) in
#: the short and the long run.
SHORT, LONG = 4, 12
DEMO_KEY = "tvx1-demo-all-never-13c5b659"

LAYER_SIDES = ("bare", "stream-20ms", "stream-256", "realtime-256", "session")
FRAME_SIDES = ("frame-once", "frame-new", "frame-build")
SIDES = LAYER_SIDES + FRAME_SIDES


def _layer_side(side: str, seconds: int) -> None:
    import numpy as np

    import _tavix_module as m
    import tavix
    from tavix import signals

    speech, active = signals.speech_like(RATE, seconds, seed=21)
    audio = signals.at_snr(speech, active, signals.shaped_noise(RATE, seconds, 1.0, seed=22), 5.0)[0]
    audio = np.ascontiguousarray(audio, np.float32)
    out = np.empty(audio.size + RATE, np.float32)
    with tempfile.TemporaryDirectory() as storage, \
            tavix.Session(DEMO_KEY, storage_dir=storage) as session:
        if side == "session":
            session.process(audio, rate=RATE, cloud=False)
            return
        if side == "bare":
            with session.stream("denoise", rate=RATE, cloud=False) as stream:
                process_frame, frame_type = stream._processor.process_frame, m.AudioFrame  # noqa: SLF001
                position = 0
                for begin in range(0, audio.size - STEP + 1, STEP):
                    got = np.frombuffer(process_frame(frame_type(audio[begin:begin + STEP])).samples, np.float32)
                    out[position:position + got.size] = got
                    position += got.size
            return
        block = {"stream-20ms": STEP, "stream-256": 256, "realtime-256": 256}[side]
        with session.stream("denoise", rate=RATE, cloud=False,
                            block=256 if side == "realtime-256" else None) as stream:
            position = 0
            for begin in range(0, audio.size - block + 1, block):
                got = stream.process(audio[begin:begin + block])
                out[position:position + got.size] = got
                position += got.size


def _frame_side(side: str, thousands: int) -> None:
    import numpy as np

    import _tavix_module as m

    os.environ["TAVIX_LOCAL_INFERENCING"] = "1"
    samples = (np.random.default_rng(1).standard_normal(320) * 0.1).astype(np.float32)
    with tempfile.TemporaryDirectory() as storage:
        sdk = m.create_sdk(m.InitParams(storage))
        if not sdk.activate_api_key(DEMO_KEY).success:
            raise SystemExit("activation failed")
        attributes = m.ProcessorAttributes(m.AudioAttributes(16000, 1, "passthrough"))
        with sdk.create_audio_processor(attributes) as processor:
            process_frame, frame_type, frame = processor.process_frame, m.AudioFrame, m.AudioFrame(samples)
            for _ in range(thousands * 1000):
                if side == "frame-once":
                    process_frame(frame)
                elif side == "frame-new":
                    process_frame(frame_type(samples))
                else:
                    frame_type(samples)


def count(side: str, size: int, keep: Path | None = None) -> int:
    """Instructions of one run of `side` over `size`, start-up included."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, __file__, "--child", side, str(size)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONMALLOC="malloc"))
        text = out.read_text(errors="replace")
        if keep is not None:
            keep.write_text(text)
    totals = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.MULTILINE)
    if totals is None:
        raise SystemExit(f"no totals in callgrind's output for {side}")
    return int(totals.group(1))


def per_unit(side: str, keep: Path | None) -> float:
    """Instructions per 20 ms of audio, or per call."""
    extra = count(side, LONG, keep) - count(side, SHORT)
    units = (LONG - SHORT) * (50 if side in LAYER_SIDES else 1000)
    return extra / units


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sides", nargs="*", metavar="SIDE",
                        help=f"which loops to count, of {', '.join(SIDES)} (default: all)")
    parser.add_argument("--annotate", metavar="SIDE", choices=SIDES)
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        side, size = args.child[0], int(args.child[1])
        run: Callable[[str, int], None] = _layer_side if side in LAYER_SIDES else _frame_side
        run(side, size)
        return
    unknown = set(args.sides) - set(SIDES)
    if unknown:
        parser.error(f"no side {', '.join(sorted(unknown))}; the sides are {', '.join(SIDES)}")
    sides = list(dict.fromkeys((args.sides or list(SIDES)) + ([args.annotate] if args.annotate else [])))
    if any(side in LAYER_SIDES for side in sides) and "bare" not in sides:
        sides.insert(0, "bare")
    with tempfile.TemporaryDirectory() as folder:
        results = {}
        for side in sides:
            keep = Path(folder) / "annotated.out" if side == args.annotate else None
            results[side] = per_unit(side, keep)
            unit = "per 20 ms of audio" if side in LAYER_SIDES else "per call"
            ratio = f", {results[side] / results['bare']:.3f}x the bare loop" if side in LAYER_SIDES else ""
            print(f"{side}: {results[side]:,.0f} instructions {unit}{ratio}", flush=True)
        if args.annotate:
            subprocess.run(["callgrind_annotate", "--inclusive=yes", str(Path(folder) / "annotated.out")],
                           check=True)


if __name__ == "__main__":
    main()
