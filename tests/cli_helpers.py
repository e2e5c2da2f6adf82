"""What the command-line tests share: running `python -m tavix` as a user
would, generated audio files, and what a run leaves behind."""

import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

from tavix import signals

soundfile = pytest.importorskip("soundfile", reason="tavix[audio] is not installed")


def environment(tmp_path, **extra):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               XDG_CACHE_HOME=str(tmp_path / "cache"), **extra)
    for name in ("TAVIX_API_KEY", "TAVIX_LOCAL_INFERENCING", "TAVIX_ENVIRONMENT"):
        if name not in extra:
            env.pop(name, None)
    return env


def tavix_cli(tmp_path, *args, **env):
    # The timeout only detects a hang; it is not a measure of speed.
    return subprocess.run([sys.executable, "-m", "tavix", *map(str, args)], cwd=tmp_path,
                          env=environment(tmp_path, **env), capture_output=True, text=True,
                          timeout=120)


def noisy(path, rate, channels, seconds=0.6, subtype=None, seed=0):
    rng = np.random.default_rng(seed)
    audio = signals.with_noise(signals.tone(rate, seconds), 5.0, seed=seed)
    if channels > 1:
        audio = np.stack([audio] + [rng.uniform(-0.3, 0.3, len(audio)) for _ in range(channels - 1)], 1)
    soundfile.write(path, audio, rate, subtype=subtype)
    return path


def dtmf(path, keys, rate=16000):
    audio, _ = signals.dtmf_sequence(rate, keys, tail_s=0.8)
    soundfile.write(path, audio, rate)
    return path


def files(folder):
    """The files a run may write, relative to `folder`: the SDK's storage
    (under cache/) left out."""
    return sorted(str(p.relative_to(folder)) for p in Path(folder).rglob("*")
                  if p.is_file() and p.relative_to(folder).parts[0] != "cache")


def leftovers(folder):
    """Temporary outputs left behind (hidden: their names start with a dot)."""
    return [name for name in files(folder) if Path(name).name.startswith(".")]


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


SLOW_WRITER = textwrap.dedent("""
    import pathlib, signal, sys, time
    import soundfile, tavix.audio
    from tavix.cli import main

    # A terminal's Ctrl-C, even when the test itself runs without one
    # (a background job starts with SIGINT ignored).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    # Small blocks written slowly: the run is still writing when the
    # interrupt comes, whenever that is.
    tavix.audio.READ_BLOCK = 800
    tavix.audio.IO_BLOCKS = 1
    write = soundfile.SoundFile.write
    def slow_write(self, data):
        write(self, data)
        pathlib.Path("writing").touch()
        time.sleep(0.05)
    soundfile.SoundFile.write = slow_write
    sys.exit(main(sys.argv[1:]))
""")


def started_writing(tmp_path, script, *args):
    """`script` run with `args` in a child, once it has written a block of
    an output (it touches the file "writing" then)."""
    child = subprocess.Popen([sys.executable, "-c", script, *args], cwd=tmp_path,
                             env=environment(tmp_path), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    while not (tmp_path / "writing").exists() and child.poll() is None:
        time.sleep(0.01)
    if child.poll() is not None:
        child.kill()
        raise AssertionError(f"the run ended before it wrote: {child.communicate()}")
    return child
