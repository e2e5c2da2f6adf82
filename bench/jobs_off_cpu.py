"""Where a `tavix process` worker's time goes, per file, from the kernel's
own account of its thread (Linux, /proc/thread-self/schedstat): on the CPU,
runnable but waiting for a core (other processes' load), and asleep. Asleep
is the output's commit, its flush to disk (counted apart), and with --jobs 2 the wait
for the interpreter lock: what --jobs 2 loses against two processes. The
other processes on the machine show up as runnable time, not as sleep, so
the split holds on a busy machine where wall-clock ratios do not.

    TAVIX_API_KEY=... python bench/jobs_off_cpu.py JOBS OUT_FOLDER FILE...

Runs the command line in this process, its file worker and the output's
commit wrapped to read the thread's counters before and after."""

from __future__ import annotations

import sys
import time

import tavix._cli_batch as batch
import tavix._staged_output as staged
import tavix.cli


def thread_times() -> list[int]:
    """Nanoseconds: wall clock, on the CPU, runnable waiting for a core."""
    with open("/proc/thread-self/schedstat") as counters:
        on_cpu, runnable, _ = map(int, counters.read().split())
    return [time.perf_counter_ns(), on_cpu, runnable]


def counted(function, into: list[list[int]]):
    def wrapper(*args, **kwargs):
        before = thread_times()
        try:
            return function(*args, **kwargs)
        finally:
            into.append([after - start for start, after in zip(before, thread_times())])
    return wrapper


def main(jobs: str, folder: str, files: list[str]) -> None:
    per_file: list[list[int]] = []
    commits: list[list[int]] = []
    batch.Batch._one = counted(batch.Batch._one, per_file)
    staged.StagedOutput.commit = counted(staged.StagedOutput.commit, commits)
    sys.argv = ["tavix", "process", *files, "-o", folder, "--jobs", jobs, "--quiet", "--overwrite", "--local"]
    status = tavix.cli.main()
    if status:
        raise SystemExit(status)

    def mean_seconds(records, index):
        return sum(record[index] for record in records) / len(records) / 1e9

    wall, on_cpu, runnable = (mean_seconds(per_file, index) for index in range(3))
    flushing = mean_seconds(commits, 0) - mean_seconds(commits, 1) - mean_seconds(commits, 2)
    asleep = wall - on_cpu - runnable
    print(f"--jobs {jobs}, per file: wall {wall:.3f} s, CPU {on_cpu:.3f} s, runnable {runnable:.3f} s, "
          f"asleep {asleep:.3f} s: committing the output {flushing:.3f} s, "
          f"the rest {asleep - flushing:.3f} s")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        raise SystemExit(__doc__)
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
