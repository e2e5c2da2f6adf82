"""The benchmark's own tools: the bare pipeline that `process_file` and the
command line are held against, and the per-file account of a --jobs run.
A fault in either would make a row compare against the wrong thing."""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _tavix_module as m
from api_keys import DEMO_KEY
from tavix import signals

soundfile = pytest.importorskip("soundfile", reason="tavix[audio] is not installed")
BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
from bare_pipeline import READ_BLOCK, bare_file_loop  # noqa: E402


def noisy_file(path: Path, rate: int, frames: int) -> np.ndarray:
    audio = signals.speech_like(rate, frames / rate, seed=3)[0][:frames]
    soundfile.write(path, audio, rate, subtype="FLOAT")
    return audio


def local_processor(sdk, rate: int, monkeypatch):
    monkeypatch.setenv("TAVIX_LOCAL_INFERENCING", "1")  # read when the attributes are built
    return sdk.create_audio_processor(m.ProcessorAttributes(m.AudioAttributes(rate, 1, "denoise")))


@pytest.mark.parametrize("rate, frames", [
    (48000, 2 * READ_BLOCK + 960 * 3 + 17),  # blocks of whole frames, a part frame at the end
    (44100, 2 * READ_BLOCK + 5),  # 882-frame frames: a block is not a whole number of them
    (16000, READ_BLOCK // 2),  # shorter than one block
])
def test_bare_pipeline_is_a_20_ms_loop_over_the_whole_file(tmp_path, activated, monkeypatch, rate, frames):
    """Block by block it gives what one loop over the whole signal gives:
    no frame dropped or repeated at a block's edge (denoise keeps state,
    so one would change everything after it)."""
    audio = noisy_file(tmp_path / "in.wav", rate, frames)
    step = rate // 50
    written = bare_file_loop(local_processor(activated, rate, monkeypatch).process_frame,
                             str(tmp_path / "in.wav"), str(tmp_path / "out.wav"))
    reference = local_processor(activated, rate, monkeypatch)
    expected = np.concatenate([np.frombuffer(reference.process_frame(m.AudioFrame(audio[i:i + step])).samples,
                                             np.float32) for i in range(0, frames - step + 1, step)])
    got, got_rate = soundfile.read(tmp_path / "out.wav", dtype="float32")
    assert got_rate == rate and written == len(got) == len(expected)
    assert np.array_equal(got, expected)


@pytest.mark.skipif(not os.path.exists("/proc/thread-self/schedstat"), reason="needs Linux's schedstat")
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_jobs_off_cpu_accounts_for_each_file(tmp_path, jobs):
    """The tool wraps the command line's worker and the output's commit; a
    renamed one would leave it counting nothing."""
    names = []
    for index in range(3):
        noisy_file(tmp_path / f"in{index}.wav", 16000, 16000)
        names.append(f"in{index}.wav")
    environment = dict(os.environ, TAVIX_API_KEY=DEMO_KEY, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.run([sys.executable, str(BENCH / "jobs_off_cpu.py"), jobs, "out", *names],
                           cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    numbers = re.fullmatch(
        rf"--jobs {jobs}, per file: wall ([\d.]+) s, CPU ([\d.]+) s, runnable ([\d.]+) s, asleep (-?[\d.]+) s: "
        r"committing the output ([\d.]+) s, the rest (-?[\d.]+) s\n", child.stdout)
    assert numbers, child.stdout
    wall, cpu = float(numbers[1]), float(numbers[2])
    assert 0 < cpu <= wall + 0.01
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == names
