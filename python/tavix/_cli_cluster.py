"""``--cluster``: ``tavix process`` and ``tavix transcribe`` on a Dask
cluster (:mod:`tavix.cluster`), with the same lines, summaries and exit
status as a run on this machine."""

from __future__ import annotations

import argparse
import time
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING

from tavix._cli_batch import (
    EXIT_FAILED,
    EXIT_OK,
    ApiKey,
    Console,
    Job,
    Outcome,
    Settings,
    _report,  # pyright: ignore[reportPrivateUsage]  (same package)
    _total_seconds,  # pyright: ignore[reportPrivateUsage]
    create_folder,
)

if TYPE_CHECKING:
    from tavix.cluster import FileResult

LOCAL_PREFIX = "local:"
INSTALL_HINT = "--cluster needs Dask's distributed scheduler: pip install 'tavix[cluster]'"


def cluster_address(text: str) -> str:
    """`--cluster`'s value: local:N (N >= 1) or a scheduler's address."""
    if text.startswith(LOCAL_PREFIX):
        count = text.removeprefix(LOCAL_PREFIX)
        if not count.isdigit() or int(count) < 1:
            raise argparse.ArgumentTypeError(f"{text!r}: local:N needs N, the number of worker "
                                             "processes, 1 or more")
    elif not text:
        raise argparse.ArgumentTypeError("give a scheduler's address (tcp://host:8786) or local:N")
    return text


def add_cluster_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--cluster", metavar="ADDRESS", type=cluster_address,
                        help="run the files on a Dask cluster: a scheduler's address "
                             "(tcp://host:8786), or local:N for N worker processes here; "
                             "--jobs does not apply (pip install 'tavix[cluster]')")


def run_on_cluster(address: str, jobs: Sequence[Job], folder: Path | None, settings: Settings,
                   key: ApiKey, storage: str | None) -> int:
    """The batch as `run_batch` runs it, each file a task on the cluster.
    `storage` None: each worker's own default storage folder."""
    console = Console(secret=key.value, json_lines=settings.json, quiet=settings.quiet)
    try:
        from tavix import cluster
    except ModuleNotFoundError:
        console.error(INSTALL_HINT)
        return EXIT_FAILED
    if not create_folder(folder, console, jobs):
        return EXIT_FAILED
    outcomes: dict[int, Outcome] = {}

    def done(index: int, result: FileResult) -> None:
        job = jobs[index]
        if result.summary is not None:
            console.advance(result.summary.duration)
            for transcript in result.summary.transcripts:
                if transcript.kind in settings.kinds:
                    console.transcript(job, transcript)
        else:
            console.error(f"{job.source}: {result.error}")
        console.file_done()
        outcomes[index] = Outcome(job, result.summary, result.error, result.worker)

    started = time.perf_counter()
    try:
        with cluster.connect(address) as client:
            console.start_progress(_total_seconds(jobs) if not settings.quiet else 0.0, len(jobs))
            cluster.run_files([job.source for job in jobs], [job.destination for job in jobs],
                              client=client, model=settings.model, api_key=key.value,
                              storage_dir=storage, overwrite=settings.overwrite, on_result=done,
                              translate=settings.translate, cloud=settings.cloud,
                              pcm16=settings.pcm16)
    except cluster.ClusterActivationError as error:
        console.error(f"{error} (API key from {key.source})")
        return EXIT_FAILED
    except cluster.ClusterUnreachableError as error:
        console.error(str(error))
        return EXIT_FAILED
    except OSError as error:  # the connection lost on the way
        console.error(f"the Dask cluster at {address} failed: {error or type(error).__name__}")
        return EXIT_FAILED
    finally:
        console.close()
    ordered = [outcomes[index] for index in range(len(jobs))]
    _report(ordered, settings, console, time.perf_counter() - started)
    return EXIT_FAILED if any(outcome.error for outcome in ordered) else EXIT_OK
