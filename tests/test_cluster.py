"""Batches on a Dask cluster: a real scheduler and two worker processes on
127.0.0.1, started once for the module (`dask scheduler`, `dask worker`),
driven through `tavix process --cluster` in a child process and through
tavix.cluster in this one."""

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from api_keys import DEMO_KEY, make_api_key
from cli_helpers import dtmf, environment, json_lines, leftovers, noisy, tavix_cli
from test_cli import MISTYPED_KEY

distributed = pytest.importorskip("distributed", reason="tavix[cluster] is not installed")
soundfile = pytest.importorskip("soundfile", reason="tavix[audio] is not installed")

from tavix import cluster  # noqa: E402  (needs distributed)

PRELOAD = Path(__file__).with_name("cluster_slow_writes.py")
# Only to detect a hang; not a measure of speed.
START_TIMEOUT = 90


class Cluster:
    def __init__(self, folder):
        self.folder = folder
        self.markers = folder / "markers"
        self.markers.mkdir()
        self.scheduler_file = folder / "scheduler.json"
        self.env = environment(folder, TAVIX_TEST_MARKERS=str(self.markers))
        self.processes = []

    def start(self, name, *args):
        log = open(self.folder / f"{name}.log", "w")
        self.processes.append(subprocess.Popen(
            [sys.executable, "-m", "dask", *args, "--scheduler-file", str(self.scheduler_file),
             "--no-dashboard", "--dashboard-address", "127.0.0.1:0"],
            cwd=self.folder, env=self.env, stdout=log, stderr=subprocess.STDOUT))
        log.close()

    def logs(self):
        return "".join(path.read_text(errors="replace") for path in self.folder.glob("*.log"))

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.fixture(scope="module")
def dask_cluster(tmp_path_factory):
    """A scheduler and two single-threaded workers under nannies, on loopback
    ports the system chose; `client` is connected to it from this process."""
    dask = Cluster(tmp_path_factory.mktemp("dask"))
    try:
        dask.start("scheduler", "scheduler", "--host", "127.0.0.1", "--port", "0")
        deadline = time.monotonic() + START_TIMEOUT
        while not dask.scheduler_file.exists():
            assert time.monotonic() < deadline and dask.processes[0].poll() is None, dask.logs()
            time.sleep(0.1)
        for index in range(2):
            dask.start(f"worker-{index}", "worker", "--host", "127.0.0.1", "--nworkers", "1",
                       "--nthreads", "1", "--preload", str(PRELOAD),
                       "--local-directory", str(dask.folder / f"scratch-{index}"))
        with distributed.Client(scheduler_file=str(dask.scheduler_file), timeout=START_TIMEOUT) as client:
            client.wait_for_workers(2, timeout=START_TIMEOUT)
            dask.client = client
            dask.address = client.scheduler.address
            yield dask
    finally:
        dask.stop()


@pytest.fixture
def cluster_ready(dask_cluster):
    """The cluster with both workers up (a test before may have killed one;
    its nanny starts it again)."""
    dask_cluster.client.wait_for_workers(2, timeout=START_TIMEOUT)
    return dask_cluster


def eight_files(folder):
    """Eight inputs of different rates, channels and formats."""
    shapes = [(8000, 1, "wav"), (16000, 2, "wav"), (22050, 1, "flac"), (32000, 2, "flac"),
              (44100, 1, "wav"), (48000, 2, "flac"), (16000, 1, "flac"), (11025, 2, "wav")]
    return [noisy(folder / f"in{index}.{ext}", rate, channels, seed=index).name
            for index, (rate, channels, ext) in enumerate(shapes)]


def same_audio(first, second):
    a, b = soundfile.info(first), soundfile.info(second)
    return ((a.samplerate, a.channels, a.frames, a.subtype) == (b.samplerate, b.channels, b.frames, b.subtype)
            and np.array_equal(soundfile.read(first)[0], soundfile.read(second)[0]))


def attempts(dask, marker):
    """How many times the scheduler sent each task whose key holds `marker`
    to a worker."""
    log = dask.client.run_on_scheduler(
        lambda dask_scheduler: [(str(t.key), t.finish) for t in dask_scheduler.transition_log])
    counts = {}
    for key, finish in log:
        if marker in key and finish == "processing":
            counts[key] = counts.get(key, 0) + 1
    return counts


@pytest.mark.parametrize("model", ["passthrough", "denoise"])
def test_eight_files_come_out_as_with_one_job(tmp_path, cluster_ready, model):
    names = eight_files(tmp_path)
    common = ["process", *names, "--model", model, "--local", "--api-key", DEMO_KEY]
    here = tavix_cli(tmp_path, *common, "-o", "here", "--jobs", "1")
    there = tavix_cli(tmp_path, *common, "-o", "there", "--cluster", cluster_ready.address, "--json")
    assert here.returncode == 0 and there.returncode == 0, there.stderr
    for name in names:
        assert same_audio(tmp_path / "here" / name, tmp_path / "there" / name), name
    records = json_lines(there.stdout)
    files = [r for r in records if r["event"] == "file"]
    assert [r["input"] for r in files] == names  # in the order given, as with --jobs
    assert all(r["ok"] and r["worker"].startswith("tcp://127.0.0.1:") for r in files)
    assert records[-1] | {"elapsed": 0, "real_time_factor": 0} == {
        "event": "total", "files": 8, "failed": 0, "duration": pytest.approx(4.8),
        "elapsed": 0, "real_time_factor": 0}
    assert leftovers(tmp_path) == []
    assert DEMO_KEY not in cluster_ready.logs()


def test_a_worker_killed_mid_file_loses_nothing(tmp_path, cluster_ready):
    """SIGKILL to the worker process writing a file: the file is done again
    on a worker, every output is whole and the same as with --jobs 1, and
    the dead attempt's temporary file is gone."""
    names = eight_files(tmp_path)[:7] + [noisy(tmp_path / "slow.wav", 8000, 2, seconds=20.0).name]
    common = ["process", *names, "--model", "passthrough", "--local"]
    assert tavix_cli(tmp_path, *common, "-o", "here", "--jobs", "1").returncode == 0
    for marker in cluster_ready.markers.iterdir():
        marker.unlink()
    child = subprocess.Popen([sys.executable, "-m", "tavix", *common, "-o", "there", "--cluster",
                              cluster_ready.address], cwd=tmp_path, env=environment(tmp_path),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + START_TIMEOUT
        while not any(cluster_ready.markers.iterdir()):
            assert time.monotonic() < deadline and child.poll() is None, "the slow file never started"
            time.sleep(0.02)
        writer = int(next(cluster_ready.markers.iterdir()).name.removeprefix("writing-"))
        assert list((tmp_path / "there").glob(".slow.wav.*.part")), "killed before writing"
        os.kill(writer, signal.SIGKILL)
        out, err = child.communicate(timeout=START_TIMEOUT)
    finally:
        child.kill()
    assert child.returncode == 0, err
    for name in names:
        assert same_audio(tmp_path / "here" / name, tmp_path / "there" / name), name
    assert leftovers(tmp_path) == []
    assert list(attempts(cluster_ready, "-slow.wav").values()) == [2]
    assert "total: 8 files, 24.20 s of audio" in out


def test_a_refused_key_fails_once_before_any_file(tmp_path, cluster_ready):
    names = eight_files(tmp_path)[:3]
    child = tavix_cli(tmp_path, "process", *names, "--cluster", cluster_ready.address,
                      TAVIX_API_KEY=MISTYPED_KEY)
    assert child.returncode == 1
    assert child.stderr.count("\n") == 1
    assert child.stderr.startswith("tavix: activation refused: UNAUTHORIZED: ")
    assert child.stderr.endswith("(API key from TAVIX_API_KEY)\n")
    assert child.stdout == "" and not list(tmp_path.glob("*.denoised.*"))
    assert MISTYPED_KEY not in child.stderr + cluster_ready.logs()


def test_a_file_that_fails_is_reported_once_and_the_others_are_done(tmp_path, cluster_ready):
    noisy(tmp_path / "good.wav", 16000, 1)
    noisy(tmp_path / "good2.flac", 8000, 2)
    (tmp_path / "notes.wav").write_text("not audio")
    noisy(tmp_path / "kept.wav", 8000, 1)
    (tmp_path / "kept.passthrough.wav").write_text("the user's own")
    child = tavix_cli(tmp_path, "process", "good.wav", "missing.wav", "notes.wav", "good2.flac", "kept.wav",
                      "--model", "passthrough", "--local", "--cluster", cluster_ready.address,
                      "--skip-existing")
    assert child.returncode == 1
    assert sorted(child.stderr.splitlines()) == [
        "tavix: kept.wav: skipped (kept.passthrough.wav exists)",
        "tavix: missing.wav: no such file",
        "tavix: notes.wav: not an audio file soundfile reads (Format not recognised)"]
    assert (tmp_path / "kept.passthrough.wav").read_text() == "the user's own"
    assert (tmp_path / "good.passthrough.wav").exists() and (tmp_path / "good2.passthrough.flac").exists()
    assert "notes.wav -> notes.passthrough.wav: failed" in child.stdout
    assert "total: 4 files (2 failed)" in child.stdout
    # Not retried: each went to a worker once.
    assert set(attempts(cluster_ready, "-notes.wav").values()) == {1}
    assert set(attempts(cluster_ready, "-missing.wav").values()) == {1}


def test_the_library_returns_process_files_summaries(tmp_path, cluster_ready, monkeypatch):
    names = eight_files(tmp_path)[:4]
    monkeypatch.chdir(tmp_path)  # relative paths, resolved here
    alice = make_api_key("alice", grant="passthrough")
    summaries = cluster.process_files(names, [f"out-{name}" for name in names],
                                      client=cluster_ready.client, model="passthrough",
                                      api_key=alice, cloud=False)
    assert [s.source for s in summaries] == [tmp_path / name for name in names]
    assert [s.frames for s in summaries] == [soundfile.info(tmp_path / name).frames for name in names]
    for name in names:
        assert same_audio(tmp_path / name, tmp_path / f"out-{name}")
    with pytest.raises(cluster.FilesFailedError) as failed:  # alice may not denoise
        cluster.process_files(names[:1], ["denoised.wav"], client=cluster_ready.client,
                              api_key=alice, cloud=False)
    assert "model 'denoise' refused" in failed.value.results[0].error
    with pytest.raises(cluster.ClusterActivationError, match="^activation refused: UNAUTHORIZED"):
        cluster.process_files(names, client=cluster_ready.client, api_key=MISTYPED_KEY)
    assert not (tmp_path / "denoised.wav").exists()
    assert alice not in cluster_ready.logs()


def test_transcripts_come_back_with_each_file(tmp_path, cluster_ready):
    dtmf(tmp_path / "keys.wav", "42")
    child = tavix_cli(tmp_path, "transcribe", "keys.wav", "--from", "en-US", "--to", "es-ES",
                      "--cluster", cluster_ready.address)
    assert child.returncode == 0, child.stderr
    finals = [line for line in child.stdout.splitlines() if " final " in line]
    assert [line.split('"')[1] for line in finals] == ["42", "cuatro dos"]
    assert re.search(r"^keys\.wav: 1\.22 s, 16000 Hz mono, .*on tcp://127\.0\.0\.1:\d+, 2 transcripts$",
                     child.stdout, re.M), child.stdout


def test_ctrl_c_cancels_the_files_not_started_and_exits_130(tmp_path, cluster_ready):
    slow = [noisy(tmp_path / f"slow{index}.wav", 8000, 1, seconds=24.0).name for index in range(2)]
    names = slow + eight_files(tmp_path)[:6]
    for marker in cluster_ready.markers.iterdir():
        marker.unlink()
    child = subprocess.Popen([sys.executable, "-m", "tavix", "process", *names, "-o", "out",
                              "--model", "passthrough", "--local", "--cluster", cluster_ready.address],
                             cwd=tmp_path, env=environment(tmp_path), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + START_TIMEOUT
        while len(list(cluster_ready.markers.iterdir())) < 2:
            assert time.monotonic() < deadline and child.poll() is None, "the slow files never started"
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=START_TIMEOUT)
    finally:
        child.kill()
    assert child.returncode == 130, err
    assert err == "tavix: interrupted\n" and out == ""
    # The files running finish whole (a worker cannot be stopped mid-file
    # from the client); most of those waiting never start.
    cluster_ready.client.wait_for_workers(2, timeout=START_TIMEOUT)
    deadline = time.monotonic() + START_TIMEOUT
    while any((tmp_path / "out").glob(".*.part")):
        assert time.monotonic() < deadline, "the running files never ended"
        time.sleep(0.05)
    time.sleep(0.5)  # no new temporary file: nothing else was left to run
    assert leftovers(tmp_path) == []
    assert len(list((tmp_path / "out").iterdir())) <= 4


@pytest.mark.parametrize("args, message", [
    (["--cluster", "local:0"], "local:N needs N"),
    (["--cluster", ""], "give a scheduler's address"),
])
def test_bad_cluster_values_are_usage_errors(tmp_path, args, message):
    child = tavix_cli(tmp_path, "process", "a.wav", *args)
    assert child.returncode == 2 and message in child.stderr and "Traceback" not in child.stderr


def test_a_scheduler_that_cannot_be_reached_is_one_line(tmp_path):
    noisy(tmp_path / "a.wav", 8000, 1)
    child = tavix_cli(tmp_path, "process", "a.wav", "--cluster", "nonsense")
    assert child.returncode == 1
    assert child.stderr == ("tavix: cannot reach the Dask scheduler at nonsense: "
                            "missing port number in address 'nonsense'\n")


def test_without_distributed_one_line_says_what_to_install(tmp_path):
    noisy(tmp_path / "a.wav", 8000, 1)
    code = ("import sys; sys.modules['distributed'] = None\n"
            "from tavix.cli import main; sys.exit(main(sys.argv[1:]))")
    child = subprocess.run([sys.executable, "-c", code, "process", "a.wav", "--cluster", "local:2"],
                           cwd=tmp_path, env=environment(tmp_path), capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 1
    assert child.stderr == ("tavix: --cluster needs Dask's distributed scheduler: "
                            "pip install 'tavix[cluster]'\n")
