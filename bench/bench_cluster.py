"""8 files through `tavix process` on a Dask cluster of this machine
(`--cluster local:2`) against `--jobs 2` and `--jobs 1`.

    python bench/bench_cluster.py [--rounds N] [--no-write]

Each side is the command as users run it, in a child process (interpreter
start, the cluster's start and stop, reading and writing the files: the
whole wall time), on the same 8 WAV files (48 kHz stereo, `denoise` on the
local path). The sides alternate for `--rounds` rounds; best and median of
each are kept. The cluster's overhead per file is its best time less
`--jobs 2`'s, over 8. Writes its table, with the machine and load, into its
own block of docs/performance.md. Not a test: nothing asserts a time."""

from __future__ import annotations

import argparse
import datetime
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import soundfile

from run import DOC, load, machine, write_doc
from tavix import signals

FILES = 8
SECONDS = 30.0
RATE = 48000
BEGIN_MARK = "<!-- bench/bench_cluster.py: generated block begins -->"
END_MARK = "<!-- bench/bench_cluster.py: generated block ends -->"
SIDES = {"--cluster local:2": ["--cluster", "local:2"], "--jobs 2": ["--jobs", "2"],
         "--jobs 1": ["--jobs", "1"]}


def inputs(folder: Path) -> list[str]:
    names = []
    for index in range(FILES):
        tone = signals.with_noise(signals.tone(RATE, SECONDS, 300.0 + 50 * index), 5.0, seed=index)
        name = f"in{index}.wav"
        soundfile.write(folder / name, signals.interleave(tone, tone[::-1]).reshape(-1, 2), RATE)
        names.append(name)
    return names


def run(folder: Path, names: list[str], extra: list[str]) -> float:
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tavix", "process", *names, "-o", "out", "--overwrite",
                    "--local", "--quiet", *extra], cwd=folder, check=True,
                   env=dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p)))
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="rounds, sides alternating (default 5)")
    parser.add_argument("--no-write", action="store_true", help="print only")
    args = parser.parse_args()
    load_before = load()
    times: dict[str, list[float]] = {side: [] for side in SIDES}
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        names = inputs(folder)
        for _ in range(args.rounds):
            for side, extra in SIDES.items():
                times[side].append(run(folder, names, extra))
    best = {side: min(values) for side, values in times.items()}
    one = best["--jobs 1"]
    lines = [f"- **Date**: {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}",
             f"- **Machine**: {machine()['cpu']}; {machine()['os']}",
             f"- **Load average (1, 5, 15 min)**: {load_before} at the start, {load()} at the end",
             f"- **Files**: {FILES} WAV files of {SECONDS:.0f} s, {RATE} Hz stereo, `denoise --local`; "
             f"{args.rounds} rounds, sides alternating; the wall time of the whole command",
             "", "| Side | Wall: best / median | Against `--jobs 1` (best) |", "|---|---|---|"]
    for side, values in times.items():
        lines.append(f"| `tavix process` {side} | {best[side]:.2f} s / {statistics.median(values):.2f} s "
                     f"| {best[side] / one:.2f}× |")
    overhead = (best["--cluster local:2"] - best["--jobs 2"]) / FILES
    lines += ["", f"The cluster's overhead against `--jobs 2`: {overhead * 1000:+.0f} ms per file "
                  "(its start and stop included, spread over the 8 files)."]
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.no_write:
        write_doc(text, BEGIN_MARK, END_MARK)
        print(f"written to {DOC}", file=sys.stderr)


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main()
