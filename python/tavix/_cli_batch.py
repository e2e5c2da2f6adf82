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
import tempfile
import threading
import time
from collections.abc import Generator, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from types import FrameType
from typing import Any, TextIO

from _tavix_module import TranscriptType
from tavix._cli_inputs import STANDARD_STREAM, copy_to_standard_output, expand, spool_standard_input
from tavix._output_rules import (
    OutputError,
    default_output,
    earlier_outputs,
    existing_outputs,
    names_folder,
    output_format,
    output_of_another_input,
    written_twice,
)
from tavix._sdk_log import model_refusal
from tavix._soundfile import load_soundfile
from tavix._staged_output import remove_unfinished
from tavix.audio import FileSummary, RawFormat, process_file
from tavix.session import ActivationError, Session, StreamOptions
from tavix.stream import ModelRefusedError
from tavix.transcripts import Transcript

EXIT_OK = 0
EXIT_FAILED = 1
#: How the substitute SDK's version string ends.
SUBSTITUTE_SUFFIX = "-substitute"


class UsageError(Exception):
    """The command line cannot run as given (exit status 2)."""


class FileError(Exception):
    """Why one file cannot be processed, as one line for the user."""


class _Cancelled(Exception):
    """Raised from the progress hook to end a file's run on an interrupt."""


class Interrupted(KeyboardInterrupt):
    """The run was stopped by a signal (SIGINT, SIGTERM or SIGHUP) and has
    cleaned up; the exit status is the shell's 128 + the signal's number."""

    def __init__(self, signum: int, finished: int | None = None, files: int | None = None) -> None:
        self.signum = signum
        self.exit_status = 128 + signum
        message = "interrupted" if signum == signal.SIGINT else f"interrupted by {signal.Signals(signum).name}"
        if finished is not None and files is not None:
            # What a user needs to pick up where the run stopped.
            message += (f": {finished} of {files} file{'s' if files != 1 else ''} finished, their "
                        "outputs complete; no partial output is left (run again with "
                        "--skip-existing to do the rest)")
        super().__init__(message)


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
    #: How messages name the input and the output, where the paths are
    #: stand-ins ("-" for standard input and output, spooled to files).
    source_name: str | None = None
    destination_name: str | None = None
    raw: RawFormat | None = None

    @property
    def input_label(self) -> str:
        return self.source_name or str(self.source)

    @property
    def output_label(self) -> str:
        return self.destination_name or str(self.destination)


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
    #: The options that gave the source and target languages, for messages.
    language_options: tuple[str, str] = ("--translate FROM", "--translate TO")
    #: The SDK's storage folder, where its log says why it refused something.
    storage: Path | None = None


@dataclass(frozen=True, slots=True)
class Outcome:
    job: Job
    summary: FileSummary | None = None
    error: str | None = None
    #: The cluster worker that did the file (a run with --cluster).
    worker: str | None = None


def default_jobs() -> int:
    if sys.version_info >= (3, 13):
        return os.process_cpu_count() or 1
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def output_label(model: str) -> str:
    """What default output names carry before the suffix."""
    return "denoised" if model == "denoise" else model or "translation"


@dataclass(frozen=True, slots=True)
class Plan:
    jobs: list[Job]
    #: The folder to create for the outputs (``-o`` with several inputs).
    folder: Path | None
    #: What the run leaves out and why, one line each, shown before it starts.
    notes: list[str]


@dataclass(frozen=True, slots=True)
class Choices:
    """The options that shape a run's jobs."""

    recursive: bool = False
    raw: RawFormat | None = None
    overwrite: bool = False
    skip_existing: bool = False
    #: The container written to standard output (``-o -``), as an extension.
    stdout_format: str = "wav"


def plan(sources: Sequence[str], output: str | None, label: str | None,
         choices: Choices = Choices()) -> Plan:
    """The jobs for the inputs and -o as given. `label` None: no audio is
    written."""
    stdin_given = sources.count(STANDARD_STREAM)
    if stdin_given and len(sources) > 1:
        raise UsageError("- (standard input) must be the only input")
    if stdin_given and sys.stdin.isatty():
        raise UsageError("- reads standard input, which is a terminal: send the audio through a pipe "
                         "(cat in.wav | tavix process - -o out.wav)")
    folder_given = any(Path(source).is_dir() for source in sources if source != STANDARD_STREAM)
    leave_out = Path(output) if output not in (None, STANDARD_STREAM) else None
    found = expand(sources, recursive=choices.recursive, headerless=choices.raw is not None,
                   leave_out=leave_out)
    notes = [] if not found.not_audio else [
        "skipped, not audio: " + ", ".join(map(str, found.not_audio))]
    if not found.files:
        raise UsageError(f"no audio files in {', '.join(sources)}"
                         + ("" if choices.recursive else " (--recursive looks in subfolders too)"))
    to_stdout = label is not None and (output == STANDARD_STREAM or (output is None and stdin_given))
    if to_stdout and (len(found.files) > 1 or folder_given):
        raise UsageError("-o - (standard output) takes one input")
    if to_stdout and sys.stdout.isatty():
        raise UsageError("standard output is a terminal: name an output with -o FILE, "
                         "or send it through a pipe")
    folder = None
    if label is None:
        jobs = [Job(item.path, None) for item in found.files]
    elif to_stdout:
        jobs = [Job(found.files[0].path, Path(f"standard-output.{choices.stdout_format}"),
                    destination_name=STANDARD_STREAM)]
    elif output is None:
        jobs = [Job(item.path, default_output(item.path, label)) for item in found.files]
    else:
        out = Path(output)
        try:
            to_folder = names_folder(output, several=len(found.files) > 1 or folder_given)
        except NotADirectoryError as error:
            raise UsageError(str(error)) from None
        if to_folder:
            jobs = [Job(item.path, out / (item.within or item.path.name)) for item in found.files]
            folder = out
        else:
            jobs = [Job(found.files[0].path, out)]
    if stdin_given:
        jobs = [replace(job, source_name=STANDARD_STREAM) for job in jobs]
    if choices.raw is not None:
        jobs = [replace(job, raw=choices.raw) for job in jobs]
    clash = written_twice(jobs)
    if clash is not None:
        raise UsageError(clash)
    if label is not None:
        jobs = _leave_out_earlier_outputs(jobs, label, notes)
    clash = output_of_another_input(jobs)
    if clash is not None:
        raise UsageError(clash)
    if label is not None and not to_stdout:
        jobs = _leave_out_finished(jobs, choices, notes)
    return Plan(jobs, folder, notes)


def _leave_out_earlier_outputs(jobs: Sequence[Job], label: str, notes: list[str]) -> list[Job]:
    """Without the inputs that this model wrote from another input of the
    same run (a re-run over the same folder), each said in `notes`."""
    earlier = earlier_outputs(jobs, label)
    notes.extend(f"{job.input_label}: skipped (the output of {writer.input_label})" for job, writer in earlier)
    left_out = {job for job, _ in earlier}
    return [job for job in jobs if job not in left_out]


def _leave_out_finished(jobs: Sequence[Job], choices: Choices, notes: list[str]) -> list[Job]:
    """With --skip-existing, without the jobs whose output exists; without
    it or --overwrite, a refusal naming every one of them before any work
    (an output that is its own input is refused when its turn comes)."""
    finished = existing_outputs(jobs)
    if not finished or choices.overwrite:
        return list(jobs)
    if not choices.skip_existing:
        names = ", ".join(job.output_label for job in finished)
        outputs = (f"the output {names} exists" if len(finished) == 1
                   else f"{len(finished)} outputs exist: {names}")
        raise UsageError(f"{outputs}; pass --overwrite to replace "
                         f"{'it' if len(finished) == 1 else 'them'}, or --skip-existing to leave "
                         f"{'it' if len(finished) == 1 else 'them'} and process the rest")
    notes.extend(f"{job.input_label}: skipped ({job.output_label} exists)" for job in finished)
    return [job for job in jobs if job not in finished]


def check(job: Job, overwrite: bool) -> int:
    """The input's sample rate, once the paths are fit to run `job`;
    otherwise FileError with the reason."""
    sf = load_soundfile()
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
        rate = job.raw.rate if job.raw is not None else int(sf.info(os.fsencode(source)).samplerate)
    except sf.LibsndfileError as error:
        raise FileError(f"not an audio file soundfile reads ({error.error_string.rstrip('.')})") from None
    if job.destination is not None:
        output_format(job.destination, overwrite=overwrite, source=source)
    return rate


#: How the SDK names the languages in its refusals.
_SDK_LANGUAGE_FIELDS = ("lt_config.language_in", "lt_config.language_out")


def describe(error: Exception, job: Job, settings: Settings | None = None) -> str:
    """One line for an error of one file's run."""
    if isinstance(error, (FileError, OutputError, FileExistsError)):
        return str(error)
    if isinstance(error, ModelRefusedError):
        storage = None if settings is None else settings.storage
        logged = None if storage is None else model_refusal(storage, error.model)
        if logged is not None:
            return f"model {error.model!r} refused: {logged}"
        return (f"model {error.model!r} refused: not installed, or the API key is not entitled "
                "to it ('tavix info' lists the key's models)")
    if isinstance(error, ValueError) and str(error).startswith(_SDK_LANGUAGE_FIELDS) and settings:
        text = str(error)
        for field, option in zip(_SDK_LANGUAGE_FIELDS, settings.language_options, strict=True):
            text = text.replace(field, option)
        return text
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

    def __init__(self, *, secret: str, json_lines: bool, quiet: bool,
                 report_to_stderr: bool = False) -> None:
        self._lock = threading.Lock()
        # A short key would match ordinary text; no SDK key is that short.
        self._secret = secret if len(secret) >= 8 else ""
        self.json = json_lines
        self.quiet = quiet
        #: Summaries and transcripts go to standard error when standard
        #: output carries the audio.
        self._report_to_stderr = report_to_stderr
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
        self._write(line, sys.stderr if self._report_to_stderr else sys.stdout)

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
            self.out(json.dumps({"event": "transcript", "input": job.input_label,
                                 **transcript_fields(transcript)}))
        else:
            state = "final  " if transcript.final else "partial"
            self.out(f"{job.input_label}: {transcript.kind.name:<13} {transcript.language} {state} "
                     f"{transcript.start:.2f}-{transcript.end:.2f} s "
                     f"{json.dumps(transcript.text, ensure_ascii=False)}")


class Batch:
    def __init__(self, session: Session, settings: Settings, console: Console) -> None:
        self.session = session
        self.settings = settings
        self.console = console
        self.cancel = threading.Event()
        self._futures: list[concurrent.futures.Future[Outcome]] = []
        #: The first signal that stopped the run.
        self.stopped_by: int | None = None
        self.options = StreamOptions(translate=settings.translate, cloud=settings.cloud,
                                     pcm16=settings.pcm16)
        #: A refusal that holds for every file (a language the SDK does not
        #: have): said once, and the files not yet started are not tried.
        self._refusal: str | None = None
        self._refusal_lock = threading.Lock()

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
                self._futures = futures
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
            raise self._interrupted(self.stopped_by)
        return outcomes

    def _interrupted(self, signum: int) -> Interrupted:
        finished = sum(1 for future in self._futures if future.done() and future.exception() is None
                       and future.result().summary is not None)
        return Interrupted(signum, finished, len(self._futures))

    def _abandon(self, signum: int) -> None:
        """Ends the process without waiting for a worker stuck in IO: the
        interpreter would wait for it at exit, forever. Its partial output
        is removed here instead, and nothing else is left to clean up (the
        SDK's processors end with the process)."""
        remove_unfinished()
        interrupted = self._interrupted(signum)
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
        if self._refusal is not None:
            return Outcome(job, error=self._refusal)
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
                                   on_progress=progress, on_transcript=show, raw=job.raw,
                                   **self.options)
        except _Cancelled:
            return Outcome(job, error="interrupted")
        except Exception as error:
            reason = describe(error, job, self.settings)
            if isinstance(error, ValueError) and str(error).startswith(_SDK_LANGUAGE_FIELDS):
                with self._refusal_lock:
                    first, self._refusal = self._refusal is None, self._refusal or reason
                if first:
                    self.console.error(reason)
            else:
                self.console.error(f"{job.input_label}: {reason}")
            return Outcome(job, error=reason)
        finally:
            self.console.file_done()
        return Outcome(job, summary=summary)


def run_batch(jobs: Sequence[Job], folder: Path | None, settings: Settings, key: ApiKey,
              storage: Path) -> int:
    """Runs `jobs`; a job whose input or output is "-" gets a stand-in file
    in a temporary folder for the run (see `_cli_inputs`)."""
    streams = any(STANDARD_STREAM in (job.source_name, job.destination_name) for job in jobs)
    if not streams:
        return _run_batch(jobs, folder, settings, key, storage)
    with tempfile.TemporaryDirectory(prefix="tavix-") as scratch:
        stand_ins = [_with_stand_ins(job, Path(scratch)) for job in jobs]
        return _run_batch(stand_ins, folder, settings, key, storage)


def _with_stand_ins(job: Job, scratch: Path) -> Job:
    if job.source_name == STANDARD_STREAM:
        job = replace(job, source=spool_standard_input(scratch))
    if job.destination_name == STANDARD_STREAM and job.destination is not None:
        job = replace(job, destination=scratch / job.destination.name)
    return job


def _run_batch(jobs: Sequence[Job], folder: Path | None, settings: Settings, key: ApiKey,
               storage: Path) -> int:
    audio_to_stdout = any(job.destination_name == STANDARD_STREAM for job in jobs)
    console = Console(secret=key.value, json_lines=settings.json, quiet=settings.quiet,
                      report_to_stderr=audio_to_stdout)
    try:
        session = Session(key.value, storage_dir=storage)
    except ActivationError as error:
        console.error(f"activation refused: {error.error_type.name}: {error.result.message} "
                      f"(API key from {key.source})")
        if settings.json:  # a reader of the JSON lines learns it there too
            console.out(json.dumps({"event": "activation", "ok": False,
                                    "error_type": error.error_type.name,
                                    "message": error.result.message, "key_source": key.source}))
        return EXIT_FAILED
    except (RuntimeError, ValueError) as error:
        console.error(f"cannot start the SDK with the storage folder {storage}: {error}")
        return EXIT_FAILED
    with session:
        if not create_folder(folder, console, jobs):
            return EXIT_FAILED
        started = time.perf_counter()
        try:
            console.start_progress(_total_seconds(jobs) if not settings.quiet else 0.0, len(jobs))
            outcomes = Batch(session, settings, console).run(jobs)
        finally:
            console.close()
        wall = time.perf_counter() - started
    outcomes = [_deliver(outcome, console) for outcome in outcomes]
    _report(outcomes, settings, console, wall)
    if settings.translate is not None and not settings.quiet and session.version.endswith(SUBSTITUTE_SUFFIX):
        _hint_dtmf(outcomes, settings, console)
    return EXIT_FAILED if any(outcome.error for outcome in outcomes) else EXIT_OK


def _deliver(outcome: Outcome, console: Console) -> Outcome:
    """A finished output whose place is standard output, copied there."""
    job = outcome.job
    if outcome.summary is None or job.destination_name != STANDARD_STREAM or job.destination is None:
        return outcome
    try:
        copy_to_standard_output(job.destination)
    except OSError as error:
        reason = f"cannot write to standard output: {error.strerror or error}"
        console.error(f"{job.input_label}: {reason}")
        return Outcome(job, error=reason)
    return outcome


def _hint_dtmf(outcomes: Sequence[Outcome], settings: Settings, console: Console) -> None:
    """Speech through the substitute SDK gives no transcripts, which looks
    like a fault unless it is said."""
    summaries = [outcome.summary for outcome in outcomes if outcome.summary is not None]
    if summaries and not any(_shown(summary, settings) for summary in summaries):
        console.error("no transcripts: the substitute SDK (sdk/) hears only DTMF keys (0-9, A-D, * "
                      "and #), not speech; 'tavix demo' shows what it transcribes")


def create_folder(folder: Path | None, console: Console, jobs: Sequence[Job] = ()) -> bool:
    """Makes the output folder of a run (-o with several inputs), if any,
    and in it the subfolders of `jobs`' outputs (the layout of input
    folders); False once it has said why it cannot."""
    if folder is not None:
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            console.error(f"cannot create the folder {folder}: {error.strerror}")
            return False
        for job in jobs:
            if job.destination is not None and job.destination.parent != folder:
                with contextlib.suppress(OSError):  # check() says why, when it is the job's turn
                    job.destination.parent.mkdir(parents=True, exist_ok=True)
    return True


def _total_seconds(jobs: Sequence[Job]) -> float:
    if not sys.stderr.isatty():
        return 0.0
    sf = load_soundfile()
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
    name = f"{job.input_label} -> {job.output_label}" if job.destination is not None else job.input_label
    if summary is None:
        return f"{name}: failed"
    layout = {1: "mono", 2: "stereo"}.get(summary.channels, f"{summary.channels} channels")
    line = (f"{name}: {summary.duration:.2f} s, {summary.rate} Hz {layout}, "
            f"real-time factor {summary.real_time_factor:.4f}")
    if outcome.worker is not None:
        line += f", on {outcome.worker}"
    if settings.translate is not None:
        count = len(_shown(summary, settings))
        line += f", {count} transcript{'s' if count != 1 else ''}"
    return line


def _file_json(outcome: Outcome, settings: Settings) -> str:
    job, summary = outcome.job, outcome.summary
    record: dict[str, object] = {
        "event": "file", "input": job.input_label,
        "output": None if job.destination is None else job.output_label,
        "ok": summary is not None}
    if outcome.worker is not None:
        record["worker"] = outcome.worker
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
