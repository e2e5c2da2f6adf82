"""Instructions per operation of the layer's loops, counted under valgrind's
callgrind: a measure that other processes on the machine do not disturb,
for profiling where bench/run.py's wall-clock ratios are too noisy.

    PYTHONPATH=build/dev:python .venv/bin/python bench/instructions.py [SIDE ...] [--annotate SIDE]

One process runs every side under callgrind, counting nothing but the
loops: each loop runs as the function of a ``functools.reduce`` over two
items (one call), callgrind collects only inside that C function and
writes its counts after each call, and the child notes which file of
counts each of its loops left. Printed per 20 ms of audio (the
layer's sides, with the ratio to the bare ``process_frame`` loop as in
bench/run.py) or per call (the frame sides: passthrough, 16 kHz mono).
Needs valgrind (apt-get install valgrind); about 2 minutes for all sides
on an idle core of this machine class.

    --annotate SIDE   also prints callgrind_annotate's functions of that side"""

from __future__ import annotations

import argparse
import functools
import json
import os
import re
import subprocess
import sys
import tempfile
from collections import deque
from collections.abc import Callable
from pathlib import Path

RATE = 48000
STEP = RATE // 50
AUDIO_S = 4  # seconds through each layer side
FRAME_CALLS = 10_000  # calls of each frame side
DEMO_KEY = "tvx1-demo-all-never-13c5b659"

LAYER_SIDES = ("bare", "stream-20ms", "stream-256", "realtime-256", "session")
#: The stream loops with a function that returns its block in place of
#: Stream.process: a call, a slice in and a copy out per block. The bare
#: loop has a slice in and a copy out per 20 ms already, so the least any
#: Stream.process written in Python could cost at 256-frame blocks is the
#: bare loop and floor-256 less floor-20ms.
FLOOR_SIDES = ("floor-20ms", "floor-256")
FRAME_SIDES = ("frame-once", "frame-held", "frame-new", "frame-build")
SIDES = LAYER_SIDES + FLOOR_SIDES + FRAME_SIDES


#: Where callgrind writes its counts (set for the child by the parent).
DUMPS_VARIABLE = "TAVIX_INSTRUCTION_DUMPS"
#: Which file of counts each side left, in the folder above.
_left: dict[str, str] = {}


def counted(side: str, run: Callable[[], object]) -> None:
    """`run()` as the one call of a functools.reduce: what callgrind's
    --toggle-collect=functools_reduce counts and writes out at its end."""
    functools.reduce(lambda _a, _b: run(), (0, 1))
    folder = Path(os.environ[DUMPS_VARIABLE])
    _left[side] = max(folder.glob("callgrind.out.*"), key=lambda path: int(path.suffix[1:])).name


def layer_loops(sides: list[str]) -> None:
    import numpy as np

    import _tavix_module as m
    import tavix
    from tavix import signals

    speech, active = signals.speech_like(RATE, AUDIO_S, seed=21)
    audio = signals.at_snr(speech, active, signals.shaped_noise(RATE, AUDIO_S, 1.0, seed=22), 5.0)[0]
    audio = np.ascontiguousarray(audio, np.float32)
    out = np.empty(audio.size + RATE, np.float32)

    def stream_loop(stream: tavix.Stream | None, block: int) -> None:
        process = (lambda block: block) if stream is None else stream.process
        position = 0
        for begin in range(0, audio.size - block + 1, block):
            got = process(audio[begin:begin + block])
            out[position:position + got.size] = got
            position += got.size

    def bare_loop(stream: tavix.Stream) -> None:
        process_frame, frame_type = stream._processor.process_frame, m.AudioFrame  # noqa: SLF001
        position = 0
        for begin in range(0, audio.size - STEP + 1, STEP):
            got = np.frombuffer(process_frame(frame_type(audio[begin:begin + STEP])).samples, np.float32)
            out[position:position + got.size] = got
            position += got.size

    with tempfile.TemporaryDirectory() as storage, tavix.Session(DEMO_KEY, storage_dir=storage) as session:
        for side in sides:
            if side in FLOOR_SIDES:
                counted(side, lambda: stream_loop(None, 256 if side == "floor-256" else STEP))
                continue
            if side == "session":
                counted(side, lambda: session.process(audio, rate=RATE, cloud=False))
                continue
            block = 256 if side in ("stream-256", "realtime-256") else STEP
            with session.stream("denoise", rate=RATE, cloud=False,
                                block=256 if side == "realtime-256" else None) as stream:
                # Past priming, as in bench/run.py.
                stream.process(audio[:RATE]) if stream.block is None else None
                if side == "bare":
                    counted(side, lambda: bare_loop(stream))
                else:
                    counted(side, lambda: stream_loop(stream, block))


def frame_loops(sides: list[str]) -> None:
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
            held = [None]
            calls = {
                "frame-once": lambda: process_frame(frame),
                # The previous result kept while the next is made, as a loop
                # that binds it to a name does.
                "frame-held": lambda: held.__setitem__(0, process_frame(frame)),
                "frame-new": lambda: process_frame(frame_type(samples)),
                "frame-build": lambda: frame_type(samples),
            }
            for side in sides:
                call = calls[side]
                counted(side, lambda: deque(map(lambda _: call(), range(FRAME_CALLS)), maxlen=0))


def instructions(path: Path) -> int:
    found = re.search(r"^(?:summary|totals):\s*(\d+)", path.read_text(errors="replace"), re.MULTILINE)
    if found is None:
        raise SystemExit(f"no count in {path}")
    return int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sides", nargs="*", metavar="SIDE",
                        help=f"which loops to count, of {', '.join(SIDES)} (default: all)")
    parser.add_argument("--annotate", metavar="SIDE", choices=SIDES)
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        layer_loops([side for side in args.child if side in LAYER_SIDES + FLOOR_SIDES])
        frame_loops([side for side in args.child if side in FRAME_SIDES])
        (Path(os.environ[DUMPS_VARIABLE]) / "sides.json").write_text(json.dumps(_left))
        return
    unknown = set(args.sides) - set(SIDES)
    if unknown:
        parser.error(f"no side {', '.join(sorted(unknown))}; the sides are {', '.join(SIDES)}")
    chosen = set(args.sides or SIDES) | ({args.annotate} if args.annotate else set())
    if chosen & set(LAYER_SIDES + FLOOR_SIDES):
        chosen.add("bare")
    if chosen & set(FLOOR_SIDES):
        chosen |= set(FLOOR_SIDES)
    sides = [side for side in SIDES if side in chosen]  # the order the child runs them in
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--toggle-collect=functools_reduce", "--dump-after=functools_reduce",
                        f"--callgrind-out-file={folder}/callgrind.out",
                        sys.executable, __file__, "--child", *sides],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, OPENBLAS_NUM_THREADS="1", **{DUMPS_VARIABLE: folder}))
        left = {side: Path(folder) / name for side, name in json.loads((Path(folder) / "sides.json").read_text()).items()}
        per_unit = {side: instructions(path) / (FRAME_CALLS if side in FRAME_SIDES else AUDIO_S * 50)
                    for side, path in left.items()}
        for side in sides:
            if side in LAYER_SIDES:
                print(f"{side}: {per_unit[side]:,.0f} instructions per 20 ms of audio, "
                      f"{per_unit[side] / per_unit['bare']:.3f}x the bare loop")
            elif side == "floor-256":
                floor = per_unit["bare"] + per_unit[side] - per_unit["floor-20ms"]
                print(f"{side}: {per_unit[side]:,.0f} instructions per 20 ms of audio; the floor of the 256-frame "
                      f"sides (bare + floor-256 - floor-20ms) {floor:,.0f}, {floor / per_unit['bare']:.3f}x the bare loop")
            elif side in FLOOR_SIDES:
                print(f"{side}: {per_unit[side]:,.0f} instructions per 20 ms of audio")
            else:
                print(f"{side}: {per_unit[side]:,.0f} instructions per call")
        if args.annotate:
            sys.stdout.flush()
            subprocess.run(["callgrind_annotate", "--inclusive=yes", str(left[args.annotate])], check=True)


if __name__ == "__main__":
    main()
