"""The binding held against its native floor, in one process.

    python bench/run.py [--repeats N] [--only GROUP ...] [--no-write]

Uses the importable `_tavix_module` and `tavix` (installed, or
PYTHONPATH=build/<dir>:python) and builds nothing of the project: it compiles
only bench/native_driver.cpp, with `c++` (or $CXX) and the headers in
include/tavix, against the very libTavixSdk.so the module loaded, and loads
it into this process with ctypes. Every row is a ratio of two sides measured
in this process, alternating, over --repeats rounds (at least 7): best and
median of each side, and the ratio of the bests beside the median of the
paired ratios. A target is judged on the ratio of the bests.

Prints one table and writes it, with the machine, the Python version and the
load average, into docs/performance.md between its generated-block markers
(the rest of that file is kept). Not a test: nothing here asserts a time."""

from __future__ import annotations

import os

# numpy's BLAS would otherwise start a thread per core that spins after any
# BLAS call, taking a core from whichever side is being timed.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import argparse
import ctypes
import datetime
import gc
import hashlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import timeit
import tracemalloc
from bisect import bisect_right
from contextlib import contextmanager
from dataclasses import dataclass
from itertools import repeat
from pathlib import Path
from time import perf_counter_ns, thread_time_ns

import numpy as np

import _tavix_module as m
import speed_peers
from bare_pipeline import bare_file_loop
import tavix
from tavix import signals
from tavix.cli import DEMO_KEY

REPO = Path(__file__).resolve().parent.parent
DRIVER_SOURCE = REPO / "bench" / "native_driver.cpp"
INCLUDE_DIR = REPO / "include"
DOC = REPO / "docs" / "performance.md"
BEGIN_MARK = "<!-- bench/run.py: generated block begins -->"
END_MARK = "<!-- bench/run.py: generated block ends -->"

#: Each group of rows (--only GROUP) and what it measures, for --help; the
#: seconds are the group's at the default 25 rounds on the 2-core machine of
#: docs/performance.md, scaled from runs of 7-9 rounds (the groups' times go
#: to stderr as they end; a busy machine takes up to twice as long).
GROUP_HELP = {
    "frames": ("AudioFrame construction and .samples against memoryview", "5"),
    "process": ("process_frame against the native loop, 16 configurations, and its fixed cost "
                "per call (Python minus native)", "15"),
    "peers": ("denoise against Speex and WebRTC NS (each left out, with what to install, "
              "when missing)", "40"),
    "layer": ("Stream.process (20 ms, 256-frame, real-time blocks) and Session.process "
              "against a bare process_frame loop, a minute of 48 kHz audio per round", "50"),
    "jobs": ("tavix process --jobs 2 against --jobs 1 on 4 files of 10 minutes at 48 kHz (written "
             "once per run, about 10 s), against two --jobs 1 processes at once, and the command's "
             "start-up alone, a process per run, at most 7 rounds", "75"),
    "file": ("process_file against a bare read-loop-write pipeline on one 10-minute 48 kHz file, at most "
             "11 rounds, and tavix process against that pipeline as a script, a process each, at most 7",
             "40"),
    "realtime": ("p99.9 of Stream(block=N).process against the block, local and cloud", "60"),
    "callbacks": ("transcript and pipeline-state callbacks on the SDK's threads", "30"),
    "latency": ("transcript latency from push to callback, main thread idle and busy", "20"),
    "threads": ("two Python threads against two native threads", "20"),
    "memory": ("RSS and tracemalloc over 10^6 process_frame calls and 10^5 callbacks", "30"),
}
GROUPS = tuple(GROUP_HELP)
RUNNING = m.PipelineState.RUNNING
MIB = 1 << 20

# Real-time rows: one call per sound-card block over this much audio, the
# worst calls (p99.9) against the block's own duration.
REALTIME_AUDIO_S = 60
REALTIME_BLOCKS = (128, 256, 480)

# Long enough that clock reads and loop overhead vanish, short enough that the
# two sides of a pair see the same machine and that, on a shared machine,
# some rounds fall between other processes' time slices.
PROCESS_BUDGET_S = 0.005
THREAD_BUDGET_S = 0.03
MICRO_CALLS = 2000
THREAD_ROUNDS = 25


# --------------------------------------------------------------------------
# The SDK library the module loaded, and the native driver built against it.

def loaded_sdk_library() -> tuple[Path, int]:
    """Path and inode of the libTavixSdk the module is running on, read from
    the process's own mappings: wherever it came from (run path, wheel,
    LD_LIBRARY_PATH), that is the one the native side must use too."""
    found: dict[str, int] = {}
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) < 6:
                continue
            path = fields[5].strip()
            if os.path.basename(path).startswith("libTavixSdk"):
                found[path] = int(fields[4])
    if len(found) != 1:
        raise SystemExit(f"expected one libTavixSdk mapped after importing _tavix_module, found {sorted(found)}")
    (path, inode), = found.items()
    if path.endswith(" (deleted)"):
        raise SystemExit(f"{path}: the loaded SDK library was replaced on disk since it was loaded; rerun")
    if os.stat(path).st_ino != inode:
        raise SystemExit(f"{path} on disk is not the file the module loaded (rebuilt meanwhile?); rerun")
    return Path(path), inode


def compiler() -> tuple[str, str]:
    cxx = os.environ.get("CXX", "c++")
    done = subprocess.run([cxx, "--version"], capture_output=True, text=True, check=True)
    return cxx, done.stdout.splitlines()[0]


def build_driver(library: Path) -> Path:
    """Compiles the driver once per (source, headers, compiler, library file)
    into build/bench-driver/ (a temporary folder when the checkout is read-only)."""
    cxx, version = compiler()
    digest = hashlib.sha256()
    digest.update(DRIVER_SOURCE.read_bytes())
    for header in sorted((INCLUDE_DIR / "tavix").glob("*.h")):
        digest.update(header.name.encode() + header.read_bytes())
    stat = library.stat()
    digest.update(f"{version}\0{library}\0{stat.st_ino}\0{stat.st_size}\0{stat.st_mtime_ns}".encode())
    key = digest.hexdigest()[:16]
    for root in (REPO / "build" / "bench-driver", Path(tempfile.gettempdir()) / "tavix-bench-driver"):
        target = root / key / "libtavix_bench_driver.so"
        if target.exists():
            return target
        try:
            target.parent.mkdir(parents=True, exist_ok=True)
        except OSError:
            continue
        partial = target.with_suffix(f".{os.getpid()}.tmp")
        command = [cxx, "-std=c++17", "-O2", "-fPIC", "-shared", "-fvisibility=hidden", "-pthread",
                   f"-I{INCLUDE_DIR}", str(DRIVER_SOURCE), "-o", str(partial),
                   str(library), f"-Wl,-rpath,{library.parent}", "-ldl"]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit("building the native driver failed:\n" + " ".join(command) + "\n" + done.stderr)
        os.replace(partial, target)
        return target
    raise SystemExit("no writable folder for the native driver")


class Driver:
    """bench/native_driver.cpp through ctypes (which releases the interpreter
    lock for each call, so the native loops run without it, as the binding's do)."""

    def __init__(self, path: Path, library: Path, inode: int):
        lib = ctypes.CDLL(str(path))
        P, I64, F = ctypes.c_void_p, ctypes.c_int64, ctypes.POINTER(ctypes.c_float)
        I64P = ctypes.POINTER(ctypes.c_int64)
        sig = {
            "tbd_error": (ctypes.c_char_p, []),
            "tbd_sdk_library": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t]),
            "tbd_sdk_create": (P, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]),
            "tbd_sdk_destroy": (None, [P]),
            "tbd_processor_create": (P, [P, ctypes.c_char_p, ctypes.c_uint32, ctypes.c_uint16,
                                         ctypes.c_int, ctypes.c_int, ctypes.c_size_t]),
            "tbd_processor_destroy": (None, [P]),
            "tbd_wait_state": (ctypes.c_int, [P, ctypes.c_int, ctypes.c_int]),
            "tbd_process_loop": (I64, [P, F, ctypes.c_uint32, I64]),
            "tbd_threads_loop": (ctypes.c_int, [ctypes.POINTER(P), ctypes.POINTER(F), ctypes.c_uint32,
                                                ctypes.c_int, I64, I64P, I64P]),
            "tbd_latency_run": (I64, [P, F, ctypes.c_uint32, I64, F, I64, I64, P, F, ctypes.c_uint32,
                                      ctypes.c_size_t, I64P, I64]),
            "tbd_transcripts": (I64, [P, I64P, I64]),
            "tbd_transcript_burst": (I64, [P, F, ctypes.c_uint32, ctypes.c_size_t]),
            "tbd_state_gaps": (ctypes.c_int, [P, ctypes.c_int, I64P]),
        }
        for name, (restype, argtypes) in sig.items():
            function = getattr(lib, name)
            function.restype, function.argtypes = restype, argtypes
        self.lib = lib
        buffer = ctypes.create_string_buffer(4096)
        if lib.tbd_sdk_library(buffer, len(buffer)) != 0:
            raise SystemExit("the native driver cannot tell which SDK library it is bound to")
        bound = Path(buffer.value.decode())
        if os.path.realpath(bound) != os.path.realpath(library) or os.stat(bound).st_ino != inode:
            raise SystemExit(f"the native driver bound {bound}, the module {library}")
        loaded_sdk_library()  # still exactly one copy mapped

    def check(self, value, what: str):
        if value is None or (isinstance(value, int) and value < 0):
            raise SystemExit(f"native {what} failed: {self.lib.tbd_error().decode()}")
        return value


def floats(array: np.ndarray):
    return array.ctypes.data_as(ctypes.POINTER(ctypes.c_float))


def int64s(array: np.ndarray):
    return array.ctypes.data_as(ctypes.POINTER(ctypes.c_int64))


# --------------------------------------------------------------------------
# Measuring.

@contextmanager
def no_gc():
    """As timeit does: a collection landing in one side's run is not that side's cost."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def alternate(sides, repeats: int) -> list[list[float]]:
    """Runs each side once per round, the order rotating between rounds, so
    that drifting load falls on every side alike. Returns each side's results."""
    results: list[list[float]] = [[] for _ in sides]
    for round_ in range(repeats):
        shift = round_ % len(sides)
        for index in list(range(shift, len(sides))) + list(range(shift)):
            with no_gc():
                results[index].append(sides[index]())
    return results


def per_call(statement: str, namespace: dict, number: int):
    timer = timeit.Timer(statement, globals=namespace)
    return lambda: timer.timeit(number) / number


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def percentile(values, fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


@dataclass
class Row:
    measure: str
    ours: str
    reference: str
    ratio: str
    target: str = "—"
    verdict: str = ""


def us(seconds: float) -> str:
    value = seconds * 1e6
    return f"{value:.3f} µs" if value < 10 else f"{value:.1f} µs" if value < 1000 else f"{value / 1000:.2f} ms"


def best_median(values, fmt=us) -> str:
    return f"{fmt(min(values))} / {fmt(statistics.median(values))}"


def ratios(ours, reference) -> tuple[float, float]:
    return min(ours) / min(reference), statistics.median(o / r for o, r in zip(ours, reference))


def ratio_row(measure, ours, reference, reference_name, target=None, judge=None, fmt=us) -> Row:
    best, median = ratios(ours, reference)
    row = Row(measure, best_median(ours, fmt), f"{reference_name}: {best_median(reference, fmt)}",
              f"{best:.3f} / {median:.3f}")
    if target:
        row.target = target
        row.verdict = "met" if judge(best) else "**missed**"
    return row


def fixed_cost_row(measure, python, native, limit) -> Row:
    """Python minus native per round (the binding's own cost per call): the
    best and the median of the differences, judged on the best."""
    differences = [p - n for p, n in zip(python, native)]
    best = min(differences)
    return Row(measure, best_median(python), f"native: {best_median(native)}",
               f"{us(best)} / {us(statistics.median(differences))}", f"≤ {us(limit)}",
               "met" if best <= limit else "**missed**")


def at_most(limit):
    return lambda value: value <= limit


# --------------------------------------------------------------------------
# Setting up both sides.

class Bench:
    def __init__(self, args, driver: Driver):
        self.args = args
        self.repeats = args.repeats
        self.driver = driver
        self.lib = driver.lib
        self.workdir = Path(tempfile.mkdtemp(prefix="tavix-bench-"))
        models = self.workdir / "no-models"
        os.environ["TAVIX_MODELS_DIR"] = str(models)
        # Both sides on the same simulated service, whatever the shell says.
        os.environ["TAVIX_ENVIRONMENT"] = "production"
        self.sdk = m.create_sdk(m.InitParams(str(self.workdir / "python")))
        result = self.sdk.activate_api_key(args.key)
        if not result.success:
            raise SystemExit(f"activation failed: {result.error_type}: {result.message}")
        self.native_sdk = driver.check(self.lib.tbd_sdk_create(
            str(self.workdir / "native").encode(), str(models).encode(), args.key.encode()), "SDK creation")
        self.rows: dict[str, list[Row]] = {}
        #: The ten-minute files of the jobs and file rows, once written.
        self.long_files: list[Path] = []

    def close(self):
        self.lib.tbd_sdk_destroy(self.native_sdk)
        del self.sdk
        shutil.rmtree(self.workdir, ignore_errors=True)

    def python_processor(self, model, rate, channels, local, notify=None, lt_config=None):
        # AudioAttributes reads TAVIX_LOCAL_INFERENCING when it is built.
        saved = os.environ.get("TAVIX_LOCAL_INFERENCING")
        os.environ["TAVIX_LOCAL_INFERENCING"] = "1" if local else "0"
        try:
            audio = m.AudioAttributes(rate, channels, model, audio_pipeline_state_notify=notify)
        finally:
            if saved is None:
                del os.environ["TAVIX_LOCAL_INFERENCING"]
            else:
                os.environ["TAVIX_LOCAL_INFERENCING"] = saved
        return self.sdk.create_audio_processor(m.ProcessorAttributes(audio, lt_config))

    def running_python_processor(self, model, rate, channels, local):
        """A processor whose pipeline runs: on the cloud path frames pass
        unprocessed until RUNNING, 150 ms after creation."""
        running = threading.Event()

        def on_state(state):
            if state == RUNNING:
                running.set()

        processor = self.python_processor(model, rate, channels, local, on_state)
        if not local and not running.wait(5):
            raise SystemExit("the Python side's pipeline never reported RUNNING")
        return processor

    def native_processor(self, model, rate, channels, local, translation=False, capacity=0):
        handle = self.driver.check(self.lib.tbd_processor_create(
            self.native_sdk, model.encode(), rate, channels, 0 if local else 1,
            1 if translation else 0, capacity), "processor creation")
        if not local and not self.lib.tbd_wait_state(handle, int(RUNNING), 5000):
            raise SystemExit("the native side's pipeline never reported RUNNING")
        return handle

    def add(self, group: str, row: Row):
        self.rows.setdefault(group, []).append(row)
        print(f"  {row.measure}: {row.ours} | {row.reference} | {row.ratio} {row.verdict}", file=sys.stderr)


def noise(count: int, seed: int) -> np.ndarray:
    # Never all zero: the SDK holds silent frames back.
    return (np.random.default_rng(seed).standard_normal(count) * 0.1).astype(np.float32)


# --------------------------------------------------------------------------
# The groups of rows.

def bench_frames(b: Bench):
    short, long_ = noise(480, 1), noise(4_800_000, 2)
    frame = m.AudioFrame(short)
    namespace = {"AudioFrame": m.AudioFrame, "short": short, "long": long_, "frame": frame}
    number = MICRO_CALLS
    built_long, built_short = alternate(
        [per_call("AudioFrame(long)", namespace, number), per_call("AudioFrame(short)", namespace, number)],
        b.repeats)
    b.add("frames", ratio_row("`AudioFrame(array)`: 4,800,000 vs 480 samples", built_long, built_short,
                              "480 samples", "≈ 1 (0.83–1.2): length-independent",
                              lambda r: 1 / 1.2 <= r <= 1.2))
    built, view = alternate(
        [per_call("AudioFrame(short)", namespace, number), per_call("memoryview(short)", namespace, number)],
        b.repeats)
    b.add("frames", ratio_row("`AudioFrame(array)`, 480 samples", built, view, "`memoryview(array)`",
                              "≤ 1.2", at_most(1.2)))
    read, view = alternate(
        [per_call("frame.samples", namespace, number), per_call("memoryview(short)", namespace, number)],
        b.repeats)
    b.add("frames", ratio_row("`frame.samples`, 480 samples", read, view, "`memoryview(array)`"))


def python_loop(process, frame, n: int) -> int:
    start = perf_counter_ns()
    for _ in repeat(None, n):
        process(frame)
    return perf_counter_ns() - start


def python_loop_new_frames(process, samples, n: int, AudioFrame=m.AudioFrame) -> int:
    start = perf_counter_ns()
    for _ in repeat(None, n):
        process(AudioFrame(samples))
    return perf_counter_ns() - start


def bench_process(b: Bench):
    lib = b.lib
    fixed_costs = []  # the binding's own cost per call: Python minus native, per round
    for model in ("passthrough", "denoise"):
        for local in (True, False):
            for rate in (16000, 48000):
                for channels in (1, 2):
                    samples = noise(rate // 50 * channels, rate + channels)
                    frame = m.AudioFrame(samples)
                    processor = b.running_python_processor(model, rate, channels, local)
                    native = b.native_processor(model, rate, channels, local)
                    try:
                        pf = processor.process_frame
                        pointer, count = floats(samples), samples.size

                        def native_side(n):
                            return b.driver.check(lib.tbd_process_loop(native, pointer, count, n), "ProcessFrame loop")

                        # Past priming (the first calls return empty frames) and
                        # the noise-floor tracker's start.
                        python_loop(pf, frame, 100)
                        native_side(100)
                        slowest = max(python_loop_new_frames(pf, samples, 50), native_side(50)) / 50
                        n = max(10, min(200_000, int(PROCESS_BUDGET_S * 1e9 / slowest)))
                        fresh, once, floor = alternate([
                            lambda: python_loop_new_frames(pf, samples, n) / n / 1e9,
                            lambda: python_loop(pf, frame, n) / n / 1e9,
                            lambda: native_side(n) / n / 1e9,
                        ], b.repeats)
                    finally:
                        processor.close()
                        lib.tbd_processor_destroy(native)
                    where = "local" if local else "cloud"
                    label = f"{model} {rate // 1000} kHz {'mono' if channels == 1 else 'stereo'}, {where}"
                    target = ("≤ 1.03", at_most(1.03)) if model == "denoise" else (None, None)
                    b.add("process", ratio_row(f"`process_frame` {label}, new `AudioFrame` per call",
                                               fresh, floor, "native", *target))
                    b.add("process", ratio_row(f"`process_frame` {label}, one `AudioFrame`",
                                               once, floor, "native", *target))
                    if (model, rate, channels, local) == ("passthrough", 16000, 1, True):
                        fixed_costs.append((label, fresh, once, floor))
    for label, fresh, once, floor in fixed_costs:
        for how, python, limit in (("new `AudioFrame` per call", fresh, 450e-9),
                                   ("one `AudioFrame`", once, 250e-9)):
            b.add("process", fixed_cost_row(f"`process_frame` {label}, {how}: fixed cost per call",
                                            python, floor, limit))


PEER_AUDIO_S = 10.0
# `denoise` through `process_frame` at least this much faster than each peer,
# and at least this many times real time, per rate.
PEER_TARGETS = {16000: (1.3, 1000.0), 48000: (1.5, 600.0)}


def noisy_speech(rate: int, seconds: float) -> np.ndarray:
    speech, active = signals.speech_like(rate, seconds, seed=21)
    return signals.at_snr(speech, active, signals.shaped_noise(rate, seconds, 1.0, seed=22), 5.0)[0]


def bench_peers(b: Bench):
    """The whole clip per round and side, in each method's own frames: ours
    in 20 ms `AudioFrame`s built per call, the peers in 10 ms PCM16 frames."""
    for rate, (faster, real_time) in PEER_TARGETS.items():
        audio = noisy_speech(rate, PEER_AUDIO_S)
        step = rate // 50
        chunks = [audio[begin:begin + step] for begin in range(0, audio.size - step + 1, step)]
        processor = b.python_processor("denoise", rate, 1, True)
        pf, AudioFrame = processor.process_frame, m.AudioFrame

        def ours():
            start = perf_counter_ns()
            for chunk in chunks:
                pf(AudioFrame(chunk))
            return (perf_counter_ns() - start) / 1e9

        peers = {"Speex preprocessor": speed_peers.speex(rate, audio)}
        if rate == 16000:
            peers.update({f"WebRTC NS level {level}": speed_peers.webrtc(level, audio) for level in (2, 4)})
        present = {name: peer for name, peer in peers.items() if not isinstance(peer, str)}
        for name, peer in peers.items():
            if isinstance(peer, str):
                print(f"  {name} left out: {peer}", file=sys.stderr)
        try:
            ours()  # past priming and the noise tracker's start
            sides = [ours] + [timed(run) for run, _ in present.values()]
            results = alternate(sides, b.repeats)
        finally:
            processor.close()
            for _, close in present.values():
                close()
        label = f"`denoise` through `process_frame`, {rate // 1000} kHz"
        factor = lambda seconds: f"{PEER_AUDIO_S / seconds:,.0f}× real time"  # noqa: E731
        ours_s = results[0]
        b.add("peers", Row(f"{label}, {PEER_AUDIO_S:g} s of noisy speech", best_median(ours_s),
                           "real time", f"{PEER_AUDIO_S / min(ours_s):,.0f}× / {PEER_AUDIO_S / statistics.median(ours_s):,.0f}×",
                           f"≥ {real_time:,.0f}×", "met" if PEER_AUDIO_S / min(ours_s) >= real_time else "**missed**"))
        for (name, _), peer_s in zip(present.items(), results[1:]):
            row = ratio_row(f"{label} vs {name} ({factor(min(peer_s))})", ours_s, peer_s, name,
                            f"≤ {1 / faster:.3f} (ours {faster:g}× faster)", at_most(1 / faster))
            b.add("peers", row)


LAYER_AUDIO_S = 60.0
LAYER_RATE = 48000


def bare_loop(pf, audio, step, out):
    """The floor of every layer row: 20 ms frames through `process_frame`,
    the output written into a preallocated array."""
    AudioFrame, position = m.AudioFrame, 0
    for begin in range(0, audio.size - step + 1, step):
        got = np.frombuffer(pf(AudioFrame(audio[begin:begin + step])).samples, np.float32)
        out[position:position + got.size] = got
        position += got.size
    return position


def stream_loop(process, audio, block, out):
    """`process` (a `Stream.process`) over `audio` block by block, each
    result copied into `out`."""
    position = 0
    for begin in range(0, audio.size - block + 1, block):
        got = process(audio[begin:begin + block])
        out[position:position + got.size] = got
        position += got.size
    return position


def _returned_as_given(block):
    return block


def bench_layer(b: Bench):
    """Each side over the same minute of noisy speech per round, on a
    processor (or stream) of its own made before the rounds; one round is
    the whole minute. The bare loop is the reference of every row."""
    rate, step = LAYER_RATE, LAYER_RATE // 50
    audio = noisy_speech(rate, LAYER_AUDIO_S)
    out = np.empty(audio.size + rate, np.float32)
    session = tavix.Session(b.args.key, storage_dir=b.workdir / "session")
    processor = b.python_processor("denoise", rate, 1, True)
    streams = {block: session.stream("denoise", rate=rate, cloud=False, block=real_time)
               for block, real_time in ((step, None), (256, None), ("real time 256", 256))}
    bare = lambda: bare_loop(processor.process_frame, audio, step, out)  # noqa: E731
    stream_rows = (("20 ms blocks", step, streams[step], "≤ 1.05", 1.05),
                   ("256-frame blocks", 256, streams[256], "≤ 1.05", 1.05),
                   ("real-time mode (`block=256`)", 256, streams["real time 256"], "≤ 1.10", 1.10))
    sides = {f"`Stream.process`, {name}": (lambda stream=stream, block=block: stream_loop(stream.process, audio,
                                                                                         block, out), target, limit)
             for name, block, stream, target, limit in stream_rows}
    sides["`Session.process` (whole signal)"] = (lambda: session.process(audio, rate=rate, cloud=False), "≤ 1.05", 1.05)
    # The stream rows' loop with a function that returns its block in place
    # of Stream.process: a call, a slice in and a copy out per block. The
    # bare loop has one slice in and one copy out per 20 ms already, so what
    # 256-frame blocks cost beyond it at the least is their loop's time less
    # the 20 ms blocks' loop's.
    floors = {block: lambda block=block: stream_loop(_returned_as_given, audio, block, out) for block in (step, 256)}
    try:
        bare()
        for stream in streams.values():
            stream_loop(stream.process, audio[: rate], step if stream.block is None else stream.block, out)
        results = alternate([timed(bare)] + [timed(run) for run in floors.values()]
                            + [timed(run) for run, _, _ in sides.values()], b.repeats)
    finally:
        for stream in streams.values():
            stream.close()
        processor.close()
        session.close()
    bare_s, (loop_20ms, loop_256) = results[0], results[1:1 + len(floors)]
    for (measure, (_, target, limit)), ours in zip(sides.items(), results[1 + len(floors):]):
        b.add("layer", ratio_row(f"{measure}, {LAYER_AUDIO_S:g} s", ours, bare_s,
                                 "bare `process_frame` loop", target, at_most(limit)))
        if measure == "`Stream.process`, 256-frame blocks":
            floor = [bare + longer - shorter for bare, longer, shorter in zip(bare_s, loop_256, loop_20ms)]
            b.add("layer", ratio_row("the floor of the 256-frame rows: the bare loop and what the benchmark's "
                                     "loop costs more per minute at 256-frame blocks than at 20 ms (a "
                                     "function returning its block in place of `Stream.process`)",
                                     floor, bare_s, "bare `process_frame` loop"))


JOBS_FILES = 4
#: Ten minutes per file, what the issue measured the layer on: the command's
#: start-up (about 0.2 s) is then a small part of the batch, as in a user's.
JOBS_AUDIO_S = 600.0


def long_files(b: Bench, count: int = JOBS_FILES) -> list[Path]:
    """`count` mono 48 kHz float WAV files of JOBS_AUDIO_S each, written
    once per run: the layer's minute of noisy speech repeated (synthesising
    ten minutes outright takes minutes and gigabytes), each file starting a
    second further into it."""
    if len(b.long_files) < count:
        import soundfile
        folder = b.workdir / "long"
        folder.mkdir(exist_ok=True)
        minute = noisy_speech(LAYER_RATE, LAYER_AUDIO_S)
        repeats = round(JOBS_AUDIO_S / LAYER_AUDIO_S)
        for index in range(len(b.long_files), count):
            path = folder / f"in{index}.wav"
            soundfile.write(path, np.tile(np.roll(minute, index * LAYER_RATE), repeats), LAYER_RATE,
                            subtype="FLOAT")
            b.long_files.append(path)
    return b.long_files


def command_environment(b: Bench) -> dict[str, str]:
    """What a command run by the benchmark sees: this process's modules, the
    key, the local path; and the modules' bytecode kept between runs (in the
    run's folder), as an installed package has it: compiling the package on
    every start, as PYTHONDONTWRITEBYTECODE makes a source tree do, added
    30-40 ms to each command's start-up."""
    environment = dict(os.environ, TAVIX_API_KEY=b.args.key, TAVIX_LOCAL_INFERENCING="1",
                       PYTHONPATH=os.pathsep.join(sys.path), PYTHONPYCACHEPREFIX=str(b.workdir / "bytecode"))
    environment.pop("PYTHONDONTWRITEBYTECODE", None)
    return environment


def command(arguments, environment):
    """A side that runs `python ARGUMENTS` as a process of its own and
    returns its wall time, start-up included, as a user sees it."""
    def side():
        start = perf_counter_ns()
        subprocess.run([sys.executable, *arguments], env=environment, check=True)
        return (perf_counter_ns() - start) / 1e9
    return side


def commands_at_once(argument_lists, environment):
    """A side that starts a process per list of arguments together and
    returns the wall time until the last has ended."""
    def side():
        start = perf_counter_ns()
        children = [subprocess.Popen([sys.executable, *arguments], env=environment) for arguments in argument_lists]
        failed = [child.args for child in children if child.wait() != 0]
        if failed:
            raise SystemExit(f"failed: {failed}")
        return (perf_counter_ns() - start) / 1e9
    return side


def seconds(value: float) -> str:
    return f"{value:.2f} s"


def bench_jobs(b: Bench):
    """`tavix process` on JOBS_FILES files, --jobs 2 against --jobs 1, each a
    process of its own (start-up included, as a user sees it)."""
    import soundfile
    inputs = [str(path) for path in long_files(b)]
    folder = b.workdir / "jobs"
    folder.mkdir()
    environment = command_environment(b)

    def arguments(files, jobs, out):
        return ["-m", "tavix", "process", *files, "-o", str(folder / out), "--jobs", str(jobs),
                "--quiet", "--overwrite", "--local"]

    def tavix_process(files, jobs, out):
        return command(arguments(files, jobs, out), environment)

    # The same command on files of one frame: start-up, activation and each
    # file's opening and closing, without the audio.
    tiny = []
    for index in range(JOBS_FILES):
        path = folder / f"tiny{index}.wav"
        soundfile.write(path, noise(LAYER_RATE // 50, index), LAYER_RATE, subtype="FLOAT")
        tiny.append(str(path))
    # What the cores give two workers without sharing an interpreter: the
    # files split between two `--jobs 1` processes started together.
    half = len(inputs) // 2
    two_processes = commands_at_once([arguments(inputs[:half], 1, "outA"), arguments(inputs[half:], 1, "outB")],
                                     environment)
    tavix_process(tiny, 1, "out0")()  # writes the bytecode before the rounds
    two, one, fixed, apart = alternate([tavix_process(inputs, 2, "out2"), tavix_process(inputs, 1, "out1"),
                                        tavix_process(tiny, 1, "out0"), two_processes], min(b.repeats, 7))
    length = f"{JOBS_AUDIO_S / 60:g} minutes"
    b.add("jobs", ratio_row(f"--jobs 2 vs --jobs 1, {JOBS_FILES} files of {length} at 48 kHz",
                            two, one, "--jobs 1", "≤ 0.55", at_most(0.55), fmt=seconds))
    b.add("jobs", ratio_row(f"the same, each side's start-up taken out (the command on {JOBS_FILES} files of "
                            f"20 ms: {best_median(fixed, seconds)})",
                            [t - f for t, f in zip(two, fixed)], [o - f for o, f in zip(one, fixed)],
                            "--jobs 1", fmt=seconds))
    b.add("jobs", ratio_row(f"two `--jobs 1` processes at once, {half} files each, vs --jobs 1 on all "
                            f"{JOBS_FILES}: what two cores give without a shared interpreter lock",
                            apart, one, "--jobs 1", fmt=seconds))
    b.add("jobs", ratio_row("--jobs 2 vs those two processes", two, apart, "two processes", fmt=seconds))


#: Rounds of the file rows: each side takes about a second a round in
#: process, and about as much again as a process.
FILE_ROUNDS = 11
COMMAND_ROUNDS = 7


def bench_file(b: Bench):
    """One of the long files through `process_file` against the bare
    pipeline (bench/bare_pipeline.py), both in this process, on a session
    and a processor made before the rounds; then `tavix process` on it
    against the bare pipeline as a script, each a process of its own."""
    source = long_files(b, 1)[0]
    folder = b.workdir / "file"
    folder.mkdir()
    session = tavix.Session(b.args.key, storage_dir=b.workdir / "file-session")
    processor = b.python_processor("denoise", LAYER_RATE, 1, True)
    try:
        library, floor = alternate([
            timed(lambda: tavix.process_file(source, folder / "library.wav", session=session, cloud=False)),
            timed(lambda: bare_file_loop(processor.process_frame, str(source), str(folder / "bare.wav"))),
        ], min(b.repeats, FILE_ROUNDS))
    finally:
        processor.close()
        session.close()
    environment = command_environment(b)
    sides = [
        command(["-m", "tavix", "process", str(source), "-o", str(folder / "cli.wav"), "--quiet", "--overwrite",
                 "--local"], environment),
        command([str(REPO / "bench" / "bare_pipeline.py"), str(source), str(folder / "script.wav"),
                 str(b.workdir / "script-storage")], environment),
    ]
    sides[0]()  # writes the bytecode before the rounds
    cli, script = alternate(sides, min(b.repeats, COMMAND_ROUNDS))
    length = f"{JOBS_AUDIO_S / 60:g} minutes at 48 kHz"
    b.add("file", ratio_row(f"`process_file`, {length}", library, floor,
                            "bare read-loop-write pipeline", "≤ 1.05", at_most(1.05), fmt=seconds))
    b.add("file", ratio_row(f"`tavix process`, one file of {length}, a process (start-up included)", cli,
                            script, "the bare pipeline as a script", fmt=seconds))


def timed(run):
    def side():
        start = perf_counter_ns()
        run()
        return (perf_counter_ns() - start) / 1e9
    return side


def bench_realtime(b: Bench):
    """The worst-case time of one `Stream(block=N).process` call, as a sound
    card's callback makes it: a minute of audio at 48 kHz, the collector
    on (a live callback gets no pause from it), against the block's own
    duration, which the callback must stay well inside."""
    session = tavix.Session(b.args.key, storage_dir=b.workdir / "realtime")
    try:
        for local in (True, False):
            for block in REALTIME_BLOCKS:
                calls = REALTIME_AUDIO_S * 48000 // block
                audio = noise(block * 64, block).reshape(-1, 1)
                blocks = [audio[i:i + block] for i in range(0, len(audio), block)]
                with session.stream("denoise", rate=48000, block=block, cloud=not local) as stream:
                    process = stream.process
                    times = [0] * calls
                    cpu = [0] * calls
                    for i in range(calls):
                        start, start_cpu = perf_counter_ns(), thread_time_ns()
                        process(blocks[i % len(blocks)])
                        cpu[i] = thread_time_ns() - start_cpu
                        times[i] = perf_counter_ns() - start
                duration = block / 48000
                worst = percentile(times, 0.999) / 1e9
                # The thread's own CPU time tells the call's cost from time
                # spent preempted by other processes.
                row = Row(f"`Stream(block={block}).process` denoise 48 kHz mono, "
                          f"{'local' if local else 'cloud'}, {calls} calls, gc on",
                          f"p99.9 {us(worst)} (CPU {us(percentile(cpu, 0.999) / 1e9)}), "
                          f"median {us(statistics.median(times) / 1e9)}",
                          f"the block: {us(duration)}", f"{worst / duration:.3f}", "≤ 0.5")
                row.verdict = "met" if worst / duration <= 0.5 else "**missed**"
                b.add("realtime", row)
    finally:
        session.close()


def recorder():
    """The Python function every callback row calls: it stamps its arrival;
    when `waiting` holds an event it first waits for it (how a test holds a
    callback back so that the next ones queue up behind it)."""
    stamps: list[int] = []
    waiting: list[threading.Event] = []

    def on_event(event, _append=stamps.append, _now=perf_counter_ns, _waiting=waiting):
        if _waiting:
            _waiting.pop().wait()
        _append(_now())

    return on_event, stamps, waiting


def wait_for(condition, timeout_s: float, poll_s: float = 0.002) -> bool:
    deadline = time.monotonic() + timeout_s
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(poll_s)  # sleeping, so without the interpreter lock
    return True


TRANSCRIPT_KEYS = ("0123456789*#ABCD" * 2)[:30]  # under the 32-key cap: one utterance


def key_burst(rate: int) -> np.ndarray:
    """30 DTMF keys and the pause that ends their sequence: pushed as one
    frame, it makes the SDK queue 31 updates (30 partial, 1 complete) of two
    TextFrames each, 62 in all, at once, within the queue's 64."""
    audio, _ = signals.dtmf_sequence(rate, TRANSCRIPT_KEYS, tone_s=0.05, pause_s=0.05, tail_s=0.7)
    return audio


BURST_CALLBACKS = 2 * (len(TRANSCRIPT_KEYS) + 1)


def bench_callbacks(b: Bench):
    # Transcripts: each burst is held back at its first callback until this
    # thread has returned from process_frame and sleeps; the rest then run
    # back to back on the SDK's output thread. The mean gap between their
    # arrivals (the first gap left out) is one callback's full cost: the
    # bridge out of the previous call, the SDK's queue, the bridge into the
    # next, and the function itself.
    rate = 8000  # the cheapest rate for the DTMF listener; the callbacks do not depend on it
    burst_samples = key_burst(rate)
    burst = m.AudioFrame(burst_samples)
    lib = b.lib
    on_text, stamps, waiting = recorder()
    processor = b.python_processor("", rate, 1, True,
                                   lt_config=m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text))
    text_frame = m.TextFrame()
    namespace = {"fn": on_text, "arg": text_frame}

    def sdk_burst():
        stamps.clear()
        go = threading.Event()
        waiting.append(go)
        processor.process_frame(burst)
        go.set()
        if not wait_for(lambda: len(stamps) >= BURST_CALLBACKS, 10):
            raise SystemExit(f"only {len(stamps)} of {BURST_CALLBACKS} transcripts arrived")
        return (stamps[-1] - stamps[1]) / (len(stamps) - 2) / 1e9

    reference_call = per_call("fn(arg)", namespace, 2000)

    def from_python():
        value = reference_call()
        stamps.clear()
        return value

    native = b.native_processor("", rate, 1, True, translation=True, capacity=4 * BURST_CALLBACKS)

    def native_burst():
        return b.driver.check(lib.tbd_transcript_burst(native, floats(burst_samples), burst_samples.size,
                                                       BURST_CALLBACKS), "transcript burst") / 1e9

    try:
        sdk_burst()  # the thread's first callback, and the first TextFrame conversions
        native_burst()
        fired, called, floor = alternate([sdk_burst, from_python, native_burst], b.repeats)
    finally:
        processor.close()
        lib.tbd_processor_destroy(native)
    row = ratio_row("transcript callback on the SDK's thread, per callback", fired, called,
                    "same function called from Python", "≤ 5", at_most(5))
    row.reference += f"; a native callback: {best_median(floor)}"
    b.add("callbacks", row)

    # Pipeline states: TRYING is held back in every processor until RUNNING
    # is overdue, then let go one processor at a time while this thread
    # sleeps, so RUNNING follows at once on the same SDK thread: the gap from
    # the end of TRYING's function to the start of RUNNING's is one callback's
    # full cost, as above.
    processors_per_round = 6
    state_arg = {"fn": None, "arg": RUNNING}

    def sdk_states():
        gates, records, opened = [], [], []
        try:
            for _ in range(processors_per_round):
                fn, marks, hold = recorder()
                gate = threading.Event()
                hold.append(gate)
                gates.append(gate)
                records.append(marks)
                opened.append(b.python_processor("passthrough", 16000, 1, False, notify=fn))
            time.sleep(0.2)  # RUNNING is due 150 ms after creation
            for gate in gates:
                gate.set()
                time.sleep(0.003)
            if not wait_for(lambda: all(len(marks) >= 2 for marks in records), 10):
                raise SystemExit("RUNNING did not follow TRYING")
            gaps = [marks[1] - marks[0] for marks in records]
        finally:
            for processor_ in opened:
                processor_.close()
        return statistics.median(gaps) / 1e9

    fn, marks, _ = recorder()
    state_arg["fn"] = fn
    state_reference = per_call("fn(arg)", state_arg, 2000)

    def state_from_python():
        value = state_reference()
        marks.clear()
        return value

    def native_states():
        gaps = np.zeros(processors_per_round, np.int64)
        b.driver.check(lib.tbd_state_gaps(b.native_sdk, processors_per_round, int64s(gaps)), "state gaps")
        return float(np.median(gaps)) / 1e9

    fired, called, floor = alternate([sdk_states, state_from_python, native_states], b.repeats)
    row = ratio_row("pipeline-state callback on the SDK's thread, per callback (TRYING's end to RUNNING's start)",
                    fired, called, "same function called from Python")
    row.reference += f"; a native callback: {best_median(floor)}"
    b.add("callbacks", row)

    # A native thread the interpreter has never seen, created, run once and
    # joined per call: shown for what it costs, not held to a target.
    fn, marks, _ = recorder()
    namespace = {"selftest": m._gil_selftest, "fn": fn}
    selftest, called = alternate([per_call("selftest(fn)", namespace, 200),
                                  per_call("fn(42)", namespace, 2000)], b.repeats)
    b.add("callbacks", ratio_row("`_gil_selftest(fn)` (new native thread + one callback)", selftest, called,
                                 "`fn(42)`"))


def latency_audio(rate: int, sequences: int) -> np.ndarray:
    return np.concatenate([key_burst(rate)] * sequences)


def bench_latency(b: Bench):
    """From the moment a 20 ms frame is pushed (the clock read just before the
    process_frame call, or the native ProcessFrame call) to the first line of
    the transcript callback that frame's processing queued. After each push
    the pushing thread spends a fixed window either asleep (idle) or calling
    process_frame on a passthrough processor back to back (busy), then pushes
    the next frame. Which frame queued which transcript comes from the native
    idle run, whose callbacks arrive long before the next push."""
    rate, sequences = 16000, 8
    chunk = rate // 50
    audio = latency_audio(rate, sequences)
    chunks = audio.size // chunk
    audio = np.ascontiguousarray(audio[: chunks * chunk])
    silence = np.zeros(chunk, np.float32)
    busy_samples = noise(chunk, 5)
    expected = sequences * BURST_CALLBACKS
    window_s = 0.002
    extra = 2_000
    lib = b.lib

    def native_run(busy: bool):
        handle = b.native_processor("", rate, 1, True, translation=True, capacity=4 * expected)
        other = b.native_processor("passthrough", rate, 1, True) if busy else None
        pushes = np.zeros(chunks + extra, np.int64)
        arrivals = np.zeros(4 * expected, np.int64)
        try:
            pushed = b.driver.check(lib.tbd_latency_run(
                handle, floats(audio), chunk, chunks, floats(silence), extra, int(window_s * 1e9),
                other, floats(busy_samples), busy_samples.size, expected, int64s(pushes), pushes.size),
                "latency run")
            got = lib.tbd_transcripts(handle, int64s(arrivals), arrivals.size)
        finally:
            lib.tbd_processor_destroy(handle)
            if other:
                lib.tbd_processor_destroy(other)
        if got < expected:
            raise SystemExit(f"native latency run ({'busy' if busy else 'idle'}): {got} of {expected} transcripts")
        return pushes[:pushed].tolist(), arrivals[:expected].tolist()

    def python_run(busy: bool):
        on_text, stamps, _ = recorder()
        processor = b.python_processor("", rate, 1, True,
                                       lt_config=m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text))
        other = b.python_processor("passthrough", rate, 1, True)
        frames = [m.AudioFrame(audio[i * chunk:(i + 1) * chunk]) for i in range(chunks)]
        quiet, busy_frame = m.AudioFrame(silence), m.AudioFrame(busy_samples)
        pushes: list[int] = []
        mark, pf, other_pf, sleep = pushes.append, processor.process_frame, other.process_frame, time.sleep
        window_ns = int(window_s * 1e9)

        def push(frame):
            at = perf_counter_ns()
            pf(frame)
            mark(at)
            if busy:
                while perf_counter_ns() - at < window_ns:
                    other_pf(busy_frame)
            else:
                sleep(window_s)

        try:
            with no_gc():
                for frame in frames:
                    push(frame)
                for _ in range(extra):
                    if len(stamps) >= expected:
                        break
                    push(quiet)
        finally:
            processor.close()
            other.close()
        if len(stamps) < expected:
            raise SystemExit(f"Python latency run ({'busy' if busy else 'idle'}): "
                             f"{len(stamps)} of {expected} transcripts")
        return pushes, stamps[:expected]

    # Transcripts come in pairs (transcription, translation) queued by one
    # push: the first of each pair is the one timed.
    native_pushes, native_arrivals = native_run(busy=False)
    triggers = [bisect_right(native_pushes, t) - 1 for t in native_arrivals[::2]]

    def latencies(pushes, arrivals):
        return [(t - pushes[i]) / 1e9 for t, i in zip(arrivals[::2], triggers)]

    def late(pushes, arrivals):
        """Transcripts that arrived after the next push (beyond the window)."""
        return sum(bisect_right(pushes, t) - 1 != i for t, i in zip(arrivals[::2], triggers))

    runs = {False: (python_run(False), (native_pushes, native_arrivals)),
            True: (python_run(True), native_run(True))}
    for busy, (python, native) in runs.items():
        where = "main thread in a `process_frame` loop" if busy else "main thread idle"
        py, nat = latencies(*python), latencies(*native)
        p50, p99, n50, n99 = (percentile(py, 0.5), percentile(py, 0.99),
                              percentile(native_lat := nat, 0.5), percentile(native_lat, 0.99))
        b.add("latency", Row(
            f"transcript latency, push to callback, {where} ({len(py)} transcripts; "
            f"after the next push: Python {late(*python)}, native {late(*native)})",
            f"p50 {us(p50)}, p99 {us(p99)}", f"native: p50 {us(n50)}, p99 {us(n99)}",
            f"{p50 / n50:.2f} / {p99 / n99:.2f} (p50 / p99)"))


def python_threads(processors, frames, n: int) -> int:
    count = len(processors)
    starts, ends = [0] * count, [0] * count
    line = threading.Barrier(count)

    def work(index):
        pf, frame = processors[index].process_frame, frames[index]
        line.wait()
        starts[index] = perf_counter_ns()
        for _ in repeat(None, n):
            pf(frame)
        ends[index] = perf_counter_ns()

    workers = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return max(ends) - min(starts)


def bench_threads(b: Bench):
    """Wall time of 2 threads doing n calls each over 1 thread doing n calls,
    each thread on its own denoise processor: 1.0 is perfect scaling, 2.0
    none. The Python slowdown is held against the native one."""
    lib = b.lib
    for rate in (16000, 48000):
        inputs = [noise(rate // 50, 7 + i) for i in range(2)]
        frames = [m.AudioFrame(x) for x in inputs]
        python = [b.running_python_processor("denoise", rate, 1, True) for _ in range(2)]
        native = [b.native_processor("denoise", rate, 1, True) for _ in range(2)]
        handles = (ctypes.c_void_p * 2)(*native)
        pointers = (ctypes.POINTER(ctypes.c_float) * 2)(*[floats(x) for x in inputs])
        count = inputs[0].size

        def native_threads(k, n):
            starts, ends = np.zeros(k, np.int64), np.zeros(k, np.int64)
            b.driver.check(lib.tbd_threads_loop(handles, pointers, count, k, n, int64s(starts), int64s(ends)),
                           "thread loop")
            return int(ends.max() - starts.min())

        try:
            for processor in python:
                python_loop(processor.process_frame, frames[0], 100)
            native_threads(2, 100)
            n = max(50, int(THREAD_BUDGET_S * 1e9 / (native_threads(1, 100) / 100)))
            # More rounds than elsewhere: a best of two threads needs a round
            # in which two cores happened to be free.
            py1, py2, nat1, nat2 = alternate([
                lambda: python_threads(python[:1], frames, n),
                lambda: python_threads(python, frames, n),
                lambda: native_threads(1, n),
                lambda: native_threads(2, n),
            ], max(b.repeats, THREAD_ROUNDS))
        finally:
            for processor in python:
                processor.close()
            for handle in native:
                lib.tbd_processor_destroy(handle)
        py_slow = [two / one for one, two in zip(py1, py2)]
        nat_slow = [two / one for one, two in zip(nat1, nat2)]
        py_best, nat_best = min(py2) / min(py1), min(nat2) / min(nat1)
        best = py_best / nat_best
        median = statistics.median(p / q for p, q in zip(py_slow, nat_slow))
        factor = lambda v: f"{v:.2f}×"  # noqa: E731
        # Two native threads that take nearly twice as long as one found no
        # second core free: then nothing here can show what the interpreter
        # lock costs, and agreeing with them proves nothing.
        if nat_best > 1.8:
            verdict = f"inconclusive: native threads did not scale ({factor(nat_best)})"
        else:
            verdict = "met" if best <= 1.05 else "**missed**"
        b.add("threads", Row(
            f"denoise {rate // 1000} kHz mono, 2 threads vs 1 (wall time, {n} calls per thread; "
            f"1 thread: Python {us(min(py1) / n / 1e9)}, native {us(min(nat1) / n / 1e9)} per call)",
            f"Python threads: {factor(py_best)} / {factor(statistics.median(py_slow))}",
            f"native threads: {factor(nat_best)} / {factor(statistics.median(nat_slow))}",
            f"{best:.3f} / {median:.3f}", "≤ 1.05", verdict))


def memory_row(b: Bench, measure: str, run, checkpoints: int):
    """RSS and tracemalloc growth across `run`, called `checkpoints` times
    after one warm-up call; flat means under 1 MiB of RSS and 64 KiB traced
    (a leak of even 16 bytes per call would be 16 MiB over a million calls)."""
    tracemalloc.start()
    try:
        run()
        gc.collect()
        rss0, (traced0, _) = rss_bytes(), tracemalloc.get_traced_memory()
        peak_rss = rss0
        started = time.monotonic()
        for _ in range(checkpoints):
            run()
            peak_rss = max(peak_rss, rss_bytes())
        elapsed = time.monotonic() - started
        gc.collect()
        rss1, (traced1, _) = rss_bytes(), tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    rss_growth, traced_growth = rss1 - rss0, traced1 - traced0
    flat = rss_growth <= MIB and traced_growth <= 64 * 1024
    b.add("memory", Row(measure, f"RSS {rss_growth / 1024:+.0f} KiB (peak {(peak_rss - rss0) / 1024:+.0f} KiB), "
                                 f"tracemalloc {traced_growth / 1024:+.1f} KiB",
                        f"RSS at start {rss0 / MIB:.1f} MiB; {elapsed:.1f} s with tracing", "—",
                        "RSS flat (≤ 1 MiB), traced ≤ 64 KiB", "met" if flat else "**missed**"))


def bench_memory(b: Bench):
    samples = noise(320, 11)
    processor = b.running_python_processor("passthrough", 16000, 1, True)
    pf = processor.process_frame

    def calls():
        python_loop_new_frames(pf, samples, 100_000)

    try:
        memory_row(b, "1,000,000 `process_frame` calls (passthrough 16 kHz mono, local, new `AudioFrame` each)",
                   calls, 10)
    finally:
        processor.close()

    rate = 8000
    burst = m.AudioFrame(key_burst(rate))
    delivered = [0]

    def on_text(frame, _count=delivered):
        _count[0] += 1

    processor = b.python_processor("", rate, 1, True,
                                   lt_config=m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text))
    rounds = -(-(-(-100_000 // BURST_CALLBACKS)) // 10)
    expected = [0]

    def callbacks():
        for _ in range(rounds):
            expected[0] += BURST_CALLBACKS
            processor.process_frame(burst)
            # Paced per burst: a callback falling behind would let the SDK
            # drop superseded partials, and fewer callbacks be measured.
            if not wait_for(lambda: delivered[0] >= expected[0], 10, 0.0005):
                raise SystemExit(f"transcripts lost: {delivered[0]} of {expected[0]}")

    try:
        memory_row(b, f"{10 * rounds * BURST_CALLBACKS:,} transcript callbacks (8 kHz, local)", callbacks, 10)
    finally:
        processor.close()


# --------------------------------------------------------------------------
# Reporting.

def machine() -> dict[str, str]:
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    usable = len(os.sched_getaffinity(0))
    return {"cpu": f"{model}, {os.cpu_count()} cores ({usable} usable by this process)",
            "os": f"{platform.system()} {platform.release()} {platform.machine()}"}


def build_type(module_file: str) -> str:
    """The CMake build type when the module comes from a build folder (a
    wheel from `pip install .` is Release)."""
    for folder in list(Path(module_file).resolve().parents)[:3]:
        cache = folder / "CMakeCache.txt"
        if cache.exists():
            for line in cache.read_text(errors="replace").splitlines():
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    value = line.split("=", 1)[1] or "none (unoptimised)"
                    return f"CMake build folder {folder}, build type {value}"
    return "installed package"


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} {five:.2f} {fifteen:.2f}"


def render(b: Bench, header: dict[str, str]) -> str:
    lines = [f"- **{name}**: {value}" for name, value in header.items()]
    lines += ["", "| Measure | Python: best / median | Reference: best / median | Ratio: best / median | Target | |",
              "|---|---|---|---|---|---|"]
    titles = {"frames": "Frames", "process": "`process_frame` vs native `ProcessFrame` (20 ms frames)",
              "peers": "`denoise` against other suppressors (noisy speech, mono, each in its own frames)",
              "layer": "The `tavix` layer against a bare `process_frame` loop (denoise 48 kHz mono, local)",
              "jobs": "`tavix process --jobs` (denoise, local)",
              "file": "Files: `process_file` and `tavix process` against a bare read-loop-write pipeline "
                      "(denoise 48 kHz mono, local)",
              "realtime": "Real time: p99.9 of one block's processing against the block",
              "callbacks": "Callbacks", "latency": "Callback latency", "threads": "Threads", "memory": "Memory"}
    for group in GROUPS:
        if group not in b.rows:
            continue
        lines.append(f"| **{titles[group]}** | | | | | |")
        for row in b.rows[group]:
            lines.append(f"| {row.measure} | {row.ours} | {row.reference} | {row.ratio} | {row.target} | {row.verdict} |")
    return "\n".join(lines) + "\n"


def write_doc(text: str, begin: str = BEGIN_MARK, end: str = END_MARK):
    """Puts `text` between the markers `begin` and `end` in DOC (each
    benchmark script has its own block), appending the block when absent."""
    block = f"{begin}\n{text}{end}"
    if DOC.exists():
        current = DOC.read_text()
        if begin in current and end in current:
            before, rest = current.split(begin, 1)
            after = rest.split(end, 1)[1]
            DOC.write_text(before + block + after)
            return
        DOC.write_text(current.rstrip("\n") + "\n\n" + block + "\n")
        return
    DOC.parent.mkdir(parents=True, exist_ok=True)
    DOC.write_text(f"# Performance\n\nWritten by `python bench/run.py`.\n\n{block}\n")


def main():
    groups_text = "\n".join(f"  {name:10} about {seconds} s: {what}" for name, (what, seconds) in GROUP_HELP.items())
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=f"groups (all by default, in this order; one or more with --only):\n{groups_text}\n\n"
               "The whole run takes about 3½ minutes at the default 25 rounds on an idle 2-core machine; "
               "a group alone, for example:\n  python bench/run.py --only layer jobs --repeats 9 --no-write\n"
               "Instruction counts of the layer's loops, which other load does not disturb: "
               "bench/instructions.py; where a --jobs worker's time goes, from the kernel's account: "
               "bench/jobs_off_cpu.py.")
    parser.add_argument("--repeats", type=int, default=25, help="rounds per row (at least 7; default 25)")
    parser.add_argument("--only", nargs="+", choices=GROUPS, help="run only these groups (e.g. under a profiler)")
    parser.add_argument("--no-write", action="store_true", help=f"print only; leave {DOC.relative_to(REPO)} alone")
    parser.add_argument("--key", default=DEMO_KEY)
    args = parser.parse_args()
    if args.repeats < 7:
        parser.error("--repeats must be at least 7")
    groups = args.only or GROUPS

    started = time.monotonic()
    load_before = load()
    library, inode = loaded_sdk_library()
    driver_path = build_driver(library)
    driver = Driver(driver_path, library, inode)
    b = Bench(args, driver)
    try:
        version = b.sdk.version
        for group in groups:
            print(f"{group} ...", file=sys.stderr)
            group_started = time.monotonic()
            globals()[f"bench_{group}"](b)
            print(f"{group}: {time.monotonic() - group_started:.0f} s", file=sys.stderr)
    finally:
        b.close()
    cxx, cxx_version = compiler()
    load_after, cores = load(), len(os.sched_getaffinity(0))
    header = {
        "Date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "Machine": machine()["cpu"] + f"; {machine()['os']}",
        "Python": f"{platform.python_implementation()} {platform.python_version()} ({sys.executable})",
        "Load average (1, 5, 15 min)": f"{load_before} at the start, {load_after} at the end" + (
            f" (above the {cores} usable cores: other processes shared the machine, so ratios are noisier "
            "and thread scaling is bounded by the cores left over)"
            if max(float(load_before.split()[0]), float(load_after.split()[0])) > cores else ""),
        "Module": f"`{m.__file__}` ({build_type(m.__file__)}); SDK `{version}` from `{library}`",
        "Native driver": f"`{cxx}` ({cxx_version}), `-O2`, `{driver_path}`",
        "Rounds": f"{args.repeats} per row ({max(args.repeats, THREAD_ROUNDS)} for threads), sides alternating; "
                  f"run took {time.monotonic() - started:.0f} s",
    }
    text = render(b, header)
    print(text)
    if not args.no_write and not args.only:
        write_doc(text)
        print(f"written to {DOC}", file=sys.stderr)


if __name__ == "__main__":
    main()
