"""Batches of audio files on a Dask cluster (``pip install 'tavix[cluster]'``).

Each file is one task. A worker process activates one :class:`Session` the
first time it gets a file and reuses it for every file after; the session
is closed when the worker stops. The API key goes from the client with the
tasks, so workers need no configuration of their own, and it is hidden
wherever Dask shows a task (names, keys, logs, the dashboard).

Tasks carry absolute paths, resolved on the client: the workers read the
inputs and write the outputs on a file system they share with the client.
Each output is written under a temporary name and renamed when complete
(as :func:`tavix.process_file` does), so a worker killed in the middle of a
file leaves no half-written output; Dask gives the file to another worker,
and the temporary files of attempts that died are removed once the batch
ends. A file that fails for a reason of its own (unreadable, a model the
key is not entitled to) is reported once and not retried."""

from __future__ import annotations

import atexit
import contextlib
import errno
import os
import pickle
import secrets
import threading
from collections.abc import Callable, Generator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final, Unpack

import distributed
from distributed.diagnostics.plugin import WorkerPlugin

from tavix._cli_batch import FileError, Job, check, describe
from tavix._cli_cluster import LOCAL_PREFIX
from tavix._output_rules import OutputRefusedError
from tavix._staged_output import remove_leftovers
from tavix.audio import FileSummary, process_file
from tavix.session import API_KEY_VARIABLE, ActivationError, Session, StreamOptions
from tavix.stream import LOCAL_INFERENCING_VARIABLE, ModelRefusedError

# Called through Any: distributed's functions are partly untyped.
_dask: Any = distributed

__all__ = ["ClusterActivationError", "ClusterUnreachableError", "FileFault", "FileResult",
           "FilesFailedError", "WorkerSessions", "connect", "process_files", "run_files"]

#: A file's own faults: reported once, never retried (another worker would
#: fail the same way). FileExistsError, OutputRefusedError and ValueError
#: are what process_file raises for an output it must not write and audio
#: the SDK refuses.
_USER_ERRORS: Final = (FileError, ModelRefusedError, FileExistsError, OutputRefusedError, ValueError)


_REFUSED: Final = "activation refused: "


class ClusterActivationError(RuntimeError):
    """The workers' SDK refused the API key; the message is the SDK's error
    type and message. Raised once, before any file runs."""


class ClusterUnreachableError(ConnectionError):
    """No scheduler answers at the address given to :func:`connect`."""


class FilesFailedError(RuntimeError):
    """Some files of :func:`process_files` failed (the others were done).
    ``results`` holds every file's :class:`FileResult`, in input order."""

    def __init__(self, results: Sequence[FileResult]) -> None:
        self.results: Final = tuple(results)
        failed = [r for r in results if r.summary is None]
        super().__init__(f"{len(failed)} of {len(results)} files failed: "
                         + "; ".join(f"{r.source}: {r.error}" for r in failed))


@dataclass(frozen=True, slots=True)
class FileResult:
    """What one file's task did: a summary, or the reason it failed."""

    source: Path
    destination: Path | None
    summary: FileSummary | None = None
    error: str | None = None
    #: The worker that did the file (its address), when one did.
    worker: str | None = None


class _HiddenKey:
    """The API key as a task argument: Dask writes the arguments of a failed
    task to its logs and dashboard with repr()."""

    __slots__ = ("value",)

    def __init__(self, value: str) -> None:
        self.value = value

    def __repr__(self) -> str:
        return "<API key>"

    __str__ = __repr__


@dataclass(frozen=True, slots=True)
class _FileTask:
    job: Job
    model: str
    storage_dir: str | None
    options: StreamOptions = field(default_factory=lambda: StreamOptions())


class FileFault(RuntimeError):
    """A file's task failed on a worker for a reason not of the file's own
    (Dask retries it)."""


class _Refused(Exception):
    """The SDK on a worker refused the key (raised on the worker only)."""


class WorkerSessions(WorkerPlugin):
    """On each worker: one activated session per (key, storage folder),
    made when a task first asks for it and closed when the worker stops.
    Carries no key itself (the scheduler keeps plugins to hand them to
    workers that join later)."""

    name = "tavix-sessions"
    # Registering again (a second batch, another client) must not close
    # sessions that running tasks use.
    idempotent = True

    def setup(self, worker: distributed.Worker) -> None:
        self._lock = threading.Lock()
        self._sessions: dict[tuple[str, str | None], Session] = {}
        # A worker stopped in a hurry (its nanny's kill timeout on a loaded
        # machine) exits without teardown: an SDK still open then would be
        # left to interpreter shutdown.
        atexit.register(self._close_sessions)

    def teardown(self, worker: distributed.Worker) -> None:
        atexit.unregister(self._close_sessions)
        self._close_sessions()

    def _close_sessions(self) -> None:
        with self._lock:
            sessions = list(self._sessions.values())
            self._sessions.clear()
        for session in sessions:
            session.close()

    def session(self, key: str, storage_dir: str | None) -> Session:
        """The session for `key`; activation errors are raised, not kept,
        so a key that works later is not held refused."""
        with self._lock:
            session = self._sessions.get((key, storage_dir))
            if session is None:
                session = Session(key, storage_dir=storage_dir)
                self._sessions[key, storage_dir] = session
            return session


def _worker_session(key: _HiddenKey, storage_dir: str | None) -> tuple[Session, str]:
    worker = distributed.get_worker()
    sessions = worker.plugins[WorkerSessions.name]
    assert isinstance(sessions, WorkerSessions)
    try:
        return sessions.session(key.value, storage_dir), worker.address
    except ActivationError as error:
        raise _Refused(f"{error.error_type.name}: {error.result.message}") from None


def _activate(key: _HiddenKey, storage_dir: str | None) -> str | None:
    """Runs on a worker: None when the key activates, else why not."""
    try:
        _worker_session(key, storage_dir)
    except _Refused as refused:
        return str(refused)
    return None


def _run_file(task: _FileTask, key: _HiddenKey) -> bytes:
    """Runs on a worker: the pickled FileResult. Pickled here because Dask
    caches the type of every result it handles, and a cached class of
    tavix outlives the extension's types when the worker process ends
    (nanobind then reports them as leaked)."""
    return pickle.dumps(_file_result(task, key))


def _file_result(task: _FileTask, key: _HiddenKey) -> FileResult:
    """A file's own faults come back as the result; anything else is
    raised, for Dask to retry on another attempt."""
    job = task.job
    try:
        session, worker = _worker_session(key, task.storage_dir)
    except _Refused as refused:
        return FileResult(job.source, job.destination, error=f"{_REFUSED}{refused}")
    try:
        check(job, True)
        summary = process_file(job.source, job.destination, model=task.model, session=session,
                               **task.options)
    except _USER_ERRORS as error:
        return FileResult(job.source, job.destination, error=describe(error, job), worker=worker)
    except Exception as error:
        # Raised for Dask to retry, as one line: Dask pickles a failed
        # task's exception and traceback back to the client, and some
        # (a deep recursion, the SDK's own objects) cannot be.
        raise FileFault(describe(error, job)) from None
    return FileResult(job.source, job.destination, summary=summary, worker=worker)


@contextlib.contextmanager
def connect(address: str) -> Generator[distributed.Client]:
    """A client of the scheduler at `address` (``tcp://host:8786``), or of a
    cluster of N single-threaded worker processes on this machine for
    ``local:N``, closed (the local cluster stopped) on leaving."""
    if address.startswith(LOCAL_PREFIX):
        workers = int(address.removeprefix(LOCAL_PREFIX))
        with _dask.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None) as local, \
                _dask.Client(local) as client:
            yield client
    else:
        try:
            client = _dask.Client(address, timeout=10)
        except (OSError, ValueError) as error:  # ValueError: not an address
            raise ClusterUnreachableError(f"cannot reach the Dask scheduler at {address}: "
                                          f"{error or type(error).__name__}") from None
        with client:
            yield client


def run_files(inputs: Sequence[str | os.PathLike[str]],
              outputs: Sequence[str | os.PathLike[str] | None] | None = None, *,
              client: distributed.Client, model: str = "denoise", api_key: str | None = None,
              storage_dir: str | os.PathLike[str] | None = None, overwrite: bool = True,
              retries: int = 1, on_result: Callable[[int, FileResult], object] | None = None,
              **stream_options: Unpack[StreamOptions]) -> list[FileResult]:
    """Every file's :class:`FileResult`, in input order; a file's failure
    does not stop the others. `on_result` is called on this thread as each
    file ends, with the file's index in `inputs`. See :func:`process_files` for the arguments.

    Raises :class:`ClusterActivationError` before any file runs when the
    key is refused. On KeyboardInterrupt (or any other exception) the
    files not yet running are cancelled; those running finish whole or not
    at all."""
    jobs = [Job(Path(os.path.abspath(src)), None if dst is None else Path(os.path.abspath(dst)))
            for src, dst in zip(inputs, outputs if outputs is not None else [None] * len(inputs),
                                strict=True)]
    key = _HiddenKey(os.environ.get(API_KEY_VARIABLE, "") if api_key is None else api_key)
    storage = None if storage_dir is None else os.path.abspath(storage_dir)
    options = StreamOptions(**stream_options)
    if options.get("cloud") is None:
        # The path the client's environment selects, not each worker's.
        options["cloud"] = os.environ.get(LOCAL_INFERENCING_VARIABLE) != "1"
    dask_client: Any = client  # its methods are partly untyped
    dask_client.register_plugin(WorkerSessions())
    # Task keys name the batch and the file; never the key.
    batch = f"tavix-{model or 'translation'}-{secrets.token_hex(4)}"
    refused = dask_client.submit(_activate, key, storage, key=f"{batch}-activate", pure=False).result()
    if refused is not None:
        raise ClusterActivationError(f"{_REFUSED}{refused}")
    results: list[FileResult | None] = [None] * len(jobs)
    futures: list[Any] = []
    index_of: dict[object, int] = {}
    for index, job in enumerate(jobs):
        if not overwrite and job.destination is not None and job.destination.exists():
            exists = FileExistsError(errno.EEXIST, "the output exists", os.fspath(job.destination))
            refused_file = FileResult(job.source, job.destination, error=describe(exists, job))
            results[index] = refused_file
            if on_result is not None:
                on_result(index, refused_file)
            continue
        # Outputs that exist now are not to be replaced; the others may be:
        # a worker killed after writing one takes its result along, and the
        # attempt that follows must write it again.
        future = dask_client.submit(_run_file, _FileTask(job, model, storage, options), key,
                               key=f"{batch}-{index}-{job.source.name}", retries=retries, pure=False)
        futures.append(future)
        index_of[future.key] = index
    try:
        for future in _dask.as_completed(futures):
            index = index_of[future.key]
            result = _result_of(future, jobs[index])
            if result.error is not None and result.error.startswith(_REFUSED):
                raise ClusterActivationError(result.error)
            results[index] = result
            if on_result is not None:
                on_result(index, result)
    except BaseException:
        dask_client.cancel(futures)
        raise
    finally:
        _remove_dead_attempts(jobs)
    return [result for result in results if result is not None]


def _result_of(future: Any, job: Job) -> FileResult:
    try:
        # Waits again when the worker holding the result died after the
        # file was done: Dask then does the file once more.
        result = pickle.loads(future.result())
    except Exception as error:  # every retry failed, or the file killed worker after worker
        reason = describe(error, job)
        return FileResult(job.source, job.destination, error=f"failed on the cluster: {reason}")
    assert isinstance(result, FileResult)
    return result


def _remove_dead_attempts(jobs: Sequence[Job]) -> None:
    # A worker killed while writing cannot remove its temporary file, and
    # the attempt that follows may run on another host, which cannot tell
    # whether the process named in it is gone. Every attempt is over here
    # (or, after Ctrl-C, let go: its output is then not written).
    for job in jobs:
        if job.destination is not None:
            remove_leftovers(job.destination)


def process_files(inputs: Sequence[str | os.PathLike[str]],
                  outputs: Sequence[str | os.PathLike[str] | None] | None = None, *,
                  client: distributed.Client, model: str = "denoise", api_key: str | None = None,
                  storage_dir: str | os.PathLike[str] | None = None, overwrite: bool = True,
                  retries: int = 1, **stream_options: Unpack[StreamOptions]) -> list[FileSummary]:
    """Processes each file of `inputs` through `model` into the file of
    `outputs` at the same place, each as a task on the cluster of `client`:
    the summaries of :func:`tavix.process_file`, in input order. Without
    `outputs` no audio is written (for the transcripts of
    ``translate=...``).

    `api_key` defaults to the client's ``TAVIX_API_KEY``; a refused key
    raises :class:`ClusterActivationError` before any file runs.
    `storage_dir` is the SDK's folder on each worker (default: the worker's
    own :func:`tavix.default_storage_dir`). `retries` is Dask's, for faults
    other than the file's own; a killed worker's file goes to another
    worker regardless. When some files fail, :class:`FilesFailedError`
    says which and why, once the others are done."""
    results = run_files(inputs, outputs, client=client, model=model, api_key=api_key,
                        storage_dir=storage_dir, overwrite=overwrite, retries=retries,
                        **stream_options)
    summaries = [result.summary for result in results if result.summary is not None]
    if len(summaries) != len(results):
        raise FilesFailedError(results)
    return summaries
