"""``tavix process`` and ``tavix transcribe``: files through one session, each
on its own stream, several at a time on threads (processing releases the
interpreter lock)."""

from __future__ import annotations

import concurrent.futures
import contextlib
import importlib
import json
import math
import os
import signal
import stat
import sys
import threading
import time
from collections.abc import Generator, Sequence
from dataclasses import dataclass
from pathlib import Path
from types import FrameType
from typing import Any, TextIO

from _tavix_module import TranscriptType
from tavix._staged_output import OutputError, name_max, remove_unfinished
from tavix.audio import FileSummary, process_file, writable_format
from tavix.audio import _soundfile  # pyright: ignore[reportPrivateUsage]  (same package)
from tavix.session import ActivationError, Session, StreamOptions
from tavix.stream import ModelRefusedError
from tavix.transcripts import Transcript

EXIT_OK = 0
EXIT_FAILED = 1


class UsageError(Exception):
    """The command line cannot run as given (exit status 2)."""


class FileError(Exception):
    """Why one file cannot be processed, as one line for the user."""


class _Cancelled(Exception):
    """Raised from the progress hook to end a file's run on an interrupt."""


class Interrupted(KeyboardInterrupt):
    """The run was stopped by a signal (SIGINT, SIGTERM or SIGHUP) and has
    cleaned up; the exit status is the shell's 128 + the signal's number."""

    def __init__(self, signum: int) -> None:
        self.signum = signum
        self.exit_status = 128 + signum
        super().__init__("interrupted" if signum == signal.SIGINT
                         else f"interrupted by {signal.Signals(signum).name}")


#: The signals that stop a run the way Ctrl-C does.
STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
#: How long the workers get to stop at their next block and remove their
#: partial outputs after a signal. One stuck in a read or write that never
#: returns (a dead network mount) is abandoned after this: the process then
#: removes the partial outputs itself and exits without waiting for it.
STOP_GRACE_SECONDS = 5.0


@dataclass(frozen=True, slots=True)
class ApiKey:
    value: str
    #: Where it came from, for messages (the key itself is never shown).
    source: str


@dataclass(frozen=True, slots=True)
class Job:
    source: Path
    destination: Path | None


@dataclass(frozen=True, slots=True)
class Settings:
    model: str
    translate: tuple[str, str] | None
    cloud: bool | None
    pcm16: bool
    jobs: int
    json: bool
    quiet: bool
    overwrite: bool
    #: The transcript kinds shown (``transcribe`` without ``--to``: only
    #: what was recognised, not its translation into the same language).
    kinds: frozenset[TranscriptType] = frozenset(TranscriptType)


@dataclass(frozen=True, slots=True)
class Outcome:
    job: Job
    summary: FileSummary | None = None
    error: str | None = None


def default_jobs() -> int:
    if sys.version_info >= (3, 13):
        return os.process_cpu_count() or 1
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def output_label(model: str) -> str:
    """What default output names carry before the suffix."""
    return "denoised" if model == "denoise" else model or "translation"


def plan(sources: Sequence[str], output: str | None, label: str | None) -> tuple[list[Job], Path | None]:
    """The jobs, and the folder to create for them (``-o`` with several
    inputs). `label` None: no audio is written."""
    paths = [Path(source) for source in sources]
    folder = None
    if label is None:
        jobs = [Job(path, None) for path in paths]
    elif output is None:
        jobs = [Job(path, default_output(path, label)) for path in paths]
    else:
        out = Path(output)
        mode = _mode(out)
        is_dir = mode is not None and stat.S_ISDIR(mode)
        if len(paths) > 1 or is_dir or output.endswith(("/", os.sep)):
            names_a_file = mode is None and writable_format(out) is not None
            if (mode is not None and not is_dir) or (names_a_file and not output.endswith(("/", os.sep))):
                raise UsageError(f"-o {output}: not a folder (with several inputs, -o names a folder; "
                                 "end it with / to make a folder of that name)")
            jobs = [Job(path, out / path.name) for path in paths]
            folder = out
        else:
            jobs = [Job(paths[0], out)]
    writers: dict[Path, Path] = {}
    for job in jobs:
        key = job.source if job.destination is None else job.destination
        target = Path(os.path.abspath(key))
        if target in writers:
            what = "given twice" if job.destination is None else f"would both be written to {key}"
            raise UsageError(f"{writers[target]} and {job.source}: {what}")
        writers[target] = job.source
    _refuse_outputs_that_are_inputs(jobs)
    return jobs, folder


def _mode(path: Path) -> int | None:
    """`path`'s st_mode, or None when there is nothing there to see (a name
    too long for the file system included)."""
    try:
        return path.stat().st_mode
    except OSError:
        return None


def _identity(path: Path) -> tuple[int, int] | None:
    try:
        status = path.stat()
    except OSError:
        return None
    return status.st_dev, status.st_ino


def _refuse_outputs_that_are_inputs(jobs: Sequence[Job]) -> None:
    """With --overwrite one file's output would replace another input,
    perhaps before it is read. (A file that is its own output is refused
    when its turn comes.)"""
    inputs: dict[object, Path] = {}
    for job in jobs:
        inputs[Path(os.path.realpath(job.source))] = job.source
        identity = _identity(job.source)
        if identity is not None:
            inputs[identity] = job.source
    for job in jobs:
        if job.destination is None:
            continue
        for key in (Path(os.path.realpath(job.destination)), _identity(job.destination)):
            other = inputs.get(key)
            if other is not None and not _same_file(other, job.source):
                raise UsageError(f"{job.source}: its output {job.destination} is the input {other}")


def _same_file(a: Path, b: Path) -> bool:
    identity = _identity(a)
    return a == b or (identity is not None and identity == _identity(b))


def default_output(source: Path, label: str) -> Path:
    # The input's format when it can be written, WAV otherwise (MP3 in: WAV out).
    suffix = source.suffix if writable_format(source) else ".wav"
    return source.with_name(f"{source.stem}.{label}{suffix}")


def check(job: Job, overwrite: bool) -> int:
    """The input's sample rate, once the paths are fit to run `job`;
    otherwise FileError with the reason."""
    sf = _soundfile()
    source = job.source
    try:
        mode = source.stat().st_mode
    except FileNotFoundError:
        raise FileError("no such file") from None
    except OSError as error:
        raise FileError(f"cannot read it ({error.strerror})") from None
    if stat.S_ISDIR(mode):
        raise FileError("is a folder, not an audio file")
    if not stat.S_ISREG(mode):
        # A FIFO or a device: opening it may wait forever, and it would be
        # read twice (its format first, then its audio).
        raise FileError("not a regular file (a pipe or a device): save the audio to a file first")
    if not os.access(source, os.R_OK):
        raise FileError("not readable (permission denied)")
    try:
        rate = int(sf.info(os.fsencode(source)).samplerate)
    except sf.LibsndfileError as error:
        raise FileError(f"not an audio file soundfile reads ({error.error_string.rstrip('.')})") from None
    destination = job.destination
    if destination is not None:
        longest = name_max(destination.parent)
        if len(os.fsencode(destination.name)) > longest:
            raise FileError(f"cannot write {destination}: its name is too long (the file system "
                            f"takes {longest} bytes at most)")
        if destination.exists() and os.path.samefile(source, destination):
            raise FileError(f"the output {destination} is the input itself")
        if destination.is_dir():
            raise FileError(f"cannot write {destination}: it is a folder")
        if destination.exists() and not overwrite:
            raise FileError(f"{destination} exists (pass --overwrite to replace it)")
        if writable_format(destination) is None:
            raise FileError(f"cannot write {destination}: no audio format for the extension "
                            f"{destination.suffix!r} (for example .wav, .flac, .ogg)")
        folder = destination.parent
        if not folder.is_dir():
            raise FileError(f"cannot write {destination}: no folder {folder}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise FileError(f"cannot write {destination}: permission denied")
    return rate


def describe(error: Exception, job: Job) -> str:
    """One line for an error of one file's run."""
    if isinstance(error, (FileError, OutputError)):
        return str(error)
    if isinstance(error, ModelRefusedError):
        return (f"model {error.model!r} refused: not installed, or the API key is not entitled "
                "to it ('tavix info' lists the key's models)")
    if isinstance(error, FileExistsError):
        return f"{job.destination} exists (pass --overwrite to replace it)"
    if isinstance(error, ValueError):
        return str(error)  # the SDK refusing the audio's rate or channels, or a language
    if isinstance(error, OSError) and error.strerror:
        return f"{error.strerror}: {error.filename}" if error.filename else error.strerror
    if isinstance(error, (RuntimeError, TimeoutError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def transcript_fields(transcript: Transcript) -> dict[str, object]:
    def seconds(value: float) -> float | None:
        return None if math.isnan(value) else round(value, 3)  # JSON has no NaN

    return {"kind": transcript.kind.name, "language": transcript.language,
            "final": transcript.final, "utterance": transcript.utterance,
            "start": seconds(transcript.start), "end": seconds(transcript.end),
            "confidence": round(transcript.confidence, 3), "text": transcript.text}


class Console:
    """Standard output and error for several threads: whole lines only, the
    API key never shown, and a progress bar on a terminal."""

    def __init__(self, *, secret: str, json_lines: bool, quiet: bool) -> None:
        self._lock = threading.Lock()
        # A short key would match ordinary text; no SDK key is that short.
        self._secret = secret if len(secret) >= 8 else ""
        self.json = json_lines
        self.quiet = quiet
        self._tqdm: Any = None
        self._bar: Any = None
        self._files = 0
        self._done = 0

    def start_progress(self, total_seconds: float, files: int) -> None:
        """A bar over the seconds of audio of the run, when standard error
        is a terminal and the run is not --quiet."""
        if self.quiet or not sys.stderr.isatty():
            return
        tqdm = importlib.import_module("tqdm")  # untyped: Any
        self._tqdm = tqdm.tqdm
        self._files = files
        self._bar = tqdm.tqdm(
            total=round(total_seconds, 1), desc=f"0/{files} files", unit="s", file=sys.stderr,
            leave=False, dynamic_ncols=True,
            bar_format="{desc} {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s of audio "
                       "[{elapsed}<{remaining}]")

    def advance(self, seconds: float) -> None:
        with self._lock:
            if self._bar is not None:
                self._bar.update(seconds)

    def file_done(self) -> None:
        with self._lock:
            self._done += 1
            if self._bar is not None:
                self._bar.set_description_str(f"{self._done}/{self._files} files")

    def close(self) -> None:
        with self._lock:
            if self._bar is not None:
                self._bar.close()
                self._bar = None

    def out(self, line: str) -> None:
        self._write(line, sys.stdout)

    def error(self, line: str) -> None:
        self._write(f"tavix: {line}", sys.stderr)

    def _write(self, line: str, stream: TextIO) -> None:
        if self._secret:
            line = line.replace(self._secret, "***")
        with self._lock:
            try:
                if self._bar is not None:
                    self._tqdm.write(line, file=stream)  # clears the bar, writes, redraws
                else:
                    stream.write(line + "\n")
                stream.flush()
            except BrokenPipeError:
                # The reader left (`| head`): the rest of the output goes
                # nowhere, the files are still processed.
                os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())

    def transcript(self, job: Job, transcript: Transcript) -> None:
        if self.json:
            self.out(json.dumps({"event": "transcript", "input": str(job.source),
                                 **transcript_fields(transcript)}))
        else:
            state = "final  " if transcript.final else "partial"
            self.out(f"{job.source}: {transcript.kind.name:<13} {transcript.language} {state} "
                     f"{transcript.start:.2f}-{transcript.end:.2f} s "
                     f"{json.dumps(transcript.text, ensure_ascii=False)}")


class Batch:
    def __init__(self, session: Session, settings: Settings, console: Console) -> None:
        self.session = session
        self.settings = settings
        self.console = console
        self.cancel = threading.Event()
        #: The first signal that stopped the run.
        self.stopped_by: int | None = None
        self.options = StreamOptions(translate=settings.translate, cloud=settings.cloud,
                                     pcm16=settings.pcm16)

    def run(self, jobs: Sequence[Job]) -> list[Outcome]:
        """Every job's outcome, in order. On SIGINT, SIGTERM or SIGHUP the
        running files stop at their next block and remove their partial
        outputs, the others are skipped, and then `Interrupted` goes on to
        the caller; if a file does not stop within `STOP_GRACE_SECONDS`,
        the process ends here (see `_abandon`)."""
        with self._signals_cancel():
            with concurrent.futures.ThreadPoolExecutor(
                    max_workers=max(1, min(self.settings.jobs, len(jobs))),
                    thread_name_prefix="tavix-file") as pool:
                futures = [pool.submit(self._one, job) for job in jobs]
                # Python runs a signal handler only on the main thread, and
                # the kernel may hand a signal to any other thread: a main
                # thread blocked until the files are done would then see it
                # only once they are. Waking it now and then keeps it prompt.
                deadline = None
                while concurrent.futures.wait(futures, timeout=0.1).not_done:
                    if self.stopped_by is not None and deadline is None:
                        deadline = time.monotonic() + STOP_GRACE_SECONDS
                    if deadline is not None and time.monotonic() > deadline:
                        self._abandon(self.stopped_by or signal.SIGINT)
                outcomes = [future.result() for future in futures]
        if self.stopped_by is not None:
            raise Interrupted(self.stopped_by)
        return outcomes

    def _abandon(self, signum: int) -> None:
        """Ends the process without waiting for a worker stuck in IO: the
        interpreter would wait for it at exit, forever. Its partial output
        is removed here instead, and nothing else is left to clean up (the
        SDK's processors end with the process)."""
        remove_unfinished()
        interrupted = Interrupted(signum)
        # Straight to the descriptor: the stuck worker may hold the
        # console's lock, or be blocked writing to standard output itself.
        with contextlib.suppress(OSError):
            os.write(sys.__stderr__.fileno() if sys.__stderr__ else 2, f"tavix: {interrupted}\n".encode())
        os._exit(interrupted.exit_status)

    @contextlib.contextmanager
    def _signals_cancel(self) -> Generator[None]:
        """SIGINT, SIGTERM and SIGHUP only set `cancel` while files run. A
        KeyboardInterrupt raised wherever the main thread happens to be
        could land inside the thread pool's own locking and leave it stuck;
        and a second signal must not cut the clean-up short."""
        if threading.current_thread() is not threading.main_thread():
            yield
            return
        replaced: list[tuple[signal.Signals, Any]] = []
        for signum in STOPPING_SIGNALS:
            previous = signal.getsignal(signum)
            # Ignored (a background job, nohup) or set outside Python: left as it is.
            if previous is not None and previous != signal.SIG_IGN:
                replaced.append((signum, signal.signal(signum, self._on_signal)))
        try:
            yield
        finally:
            for signum, previous in replaced:
                signal.signal(signum, previous)

    def _on_signal(self, signum: int, frame: FrameType | None) -> None:
        if self.stopped_by is None:
            self.stopped_by = signum
        self.cancel.set()

    def _one(self, job: Job) -> Outcome:
        if self.cancel.is_set():
            return Outcome(job, error="interrupted")
        try:
            rate = check(job, self.settings.overwrite)

            def progress(frames: int) -> None:
                if self.cancel.is_set():
                    raise _Cancelled
                self.console.advance(frames / rate)

            def show(transcript: Transcript) -> None:
                if transcript.kind in self.settings.kinds:
                    self.console.transcript(job, transcript)

            summary = process_file(job.source, job.destination, model=self.settings.model,
                                   session=self.session, overwrite=self.settings.overwrite,
                                   on_progress=progress, on_transcript=show, **self.options)
        except _Cancelled:
            return Outcome(job, error="interrupted")
        except Exception as error:
            reason = describe(error, job)
            self.console.error(f"{job.source}: {reason}")
            return Outcome(job, error=reason)
        finally:
            self.console.file_done()
        return Outcome(job, summary=summary)


def run_batch(jobs: Sequence[Job], folder: Path | None, settings: Settings, key: ApiKey,
              storage: Path) -> int:
    console = Console(secret=key.value, json_lines=settings.json, quiet=settings.quiet)
    try:
        session = Session(key.value, storage_dir=storage)
    except ActivationError as error:
        console.error(f"activation refused: {error.error_type.name}: {error.result.message} "
                      f"(API key from {key.source})")
        return EXIT_FAILED
    except (RuntimeError, ValueError) as error:
        console.error(f"cannot start the SDK with the storage folder {storage}: {error}")
        return EXIT_FAILED
    with session:
        if folder is not None:
            try:
                folder.mkdir(parents=True, exist_ok=True)
            except OSError as error:
                console.error(f"cannot create the folder {folder}: {error.strerror}")
                return EXIT_FAILED
        started = time.perf_counter()
        try:
            console.start_progress(_total_seconds(jobs) if not settings.quiet else 0.0, len(jobs))
            outcomes = Batch(session, settings, console).run(jobs)
        finally:
            console.close()
        wall = time.perf_counter() - started
    _report(outcomes, settings, console, wall)
    return EXIT_FAILED if any(outcome.error for outcome in outcomes) else EXIT_OK


def _total_seconds(jobs: Sequence[Job]) -> float:
    if not sys.stderr.isatty():
        return 0.0
    sf = _soundfile()
    total = 0.0
    for job in jobs:
        try:
            if not stat.S_ISREG(job.source.stat().st_mode):
                continue  # may block; refused when its turn comes
            info = sf.info(os.fsencode(job.source))
        except Exception:  # reported when its turn comes
            continue
        if info.frames > 0:
            total += info.frames / info.samplerate
    return total


def _report(outcomes: Sequence[Outcome], settings: Settings, console: Console, wall: float) -> None:
    """One summary per file and a total, as text or JSON lines."""
    if settings.quiet and not settings.json:
        return
    duration = sum(o.summary.duration for o in outcomes if o.summary is not None)
    failed = sum(1 for o in outcomes if o.error)
    rtf = wall / duration if duration else 0.0
    for outcome in outcomes:
        console.out(_file_json(outcome, settings) if settings.json else _file_text(outcome, settings))
    if settings.json:
        console.out(json.dumps({"event": "total", "files": len(outcomes), "failed": failed,
                                "duration": round(duration, 6), "elapsed": round(wall, 6),
                                "real_time_factor": round(rtf, 6)}))
    else:
        files = f"{len(outcomes)} file{'s' if len(outcomes) != 1 else ''}"
        console.out(f"total: {files}{f' ({failed} failed)' if failed else ''}, {duration:.2f} s of "
                    f"audio in {wall:.2f} s, real-time factor {rtf:.4f}")


def _shown(summary: FileSummary, settings: Settings) -> list[Transcript]:
    return [t for t in summary.transcripts if t.final and t.kind in settings.kinds]


def _file_text(outcome: Outcome, settings: Settings) -> str:
    job, summary = outcome.job, outcome.summary
    name = f"{job.source} -> {job.destination}" if job.destination is not None else str(job.source)
    if summary is None:
        return f"{name}: failed"
    layout = {1: "mono", 2: "stereo"}.get(summary.channels, f"{summary.channels} channels")
    line = (f"{name}: {summary.duration:.2f} s, {summary.rate} Hz {layout}, "
            f"real-time factor {summary.real_time_factor:.4f}")
    if settings.translate is not None:
        count = len(_shown(summary, settings))
        line += f", {count} transcript{'s' if count != 1 else ''}"
    return line


def _file_json(outcome: Outcome, settings: Settings) -> str:
    job, summary = outcome.job, outcome.summary
    record: dict[str, object] = {
        "event": "file", "input": str(job.source),
        "output": None if job.destination is None else str(job.destination),
        "ok": summary is not None}
    if summary is None:
        record["error"] = outcome.error
    else:
        record.update(rate=summary.rate, channels=summary.channels, frames=summary.frames,
                      duration=round(summary.duration, 6), elapsed=round(summary.elapsed, 6),
                      real_time_factor=round(summary.real_time_factor, 6))
        if settings.translate is not None:
            record["transcripts"] = [transcript_fields(t) for t in _shown(summary, settings)]
    # ASCII: a file name that is not UTF-8 stays valid JSON (as \\udcff).
    return json.dumps(record)
