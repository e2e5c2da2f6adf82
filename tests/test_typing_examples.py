"""The README's examples are files that run: each runs here as a user would
(a fresh interpreter, the key in TAVIX_API_KEY), and every Python snippet
of the README's tour must be cut from one of them, so neither can drift.
scripts/check-types type-checks the same files."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from api_keys import DEMO_KEY

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"

# What each example must print (a regular expression).
EXPECTED = {
    "denoise_signal.py": r"SNR [+-]\d+\.\d dB -> \+1\d\.\d dB",
    "stream_blocks.py": r"96000 frames in and out; the SDK's latency is 1920 frames",
    "realtime.py": r"output 3648 frames \(76\.0 ms\) behind the input",
    "transcripts.py": r"TRANSLATION +es-ES 'dos cero dos seis almohadilla'",
    "async_transcripts.py": r"Transcript\(kind=TRANSLATION, language='de-DE', text='vier zwei', final=True",
    "files.py": r"2\.0 s at 44100 Hz, real-time factor \d+\.\d+\n\(88200, 1\) float32 44100",
    "cluster_files.py": r"^4 files, 4\.0 s of audio$",
}


#: Examples that need a sound card: test_live.py runs them on its sound server.
ON_SOUND_SERVER = {"live.py"}


def test_every_example_is_checked():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(EXPECTED.keys() | ON_SOUND_SERVER)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_runs(name, tmp_path):
    if name in ("files.py", "cluster_files.py"):
        pytest.importorskip("soundfile", reason="tavix[audio] is not installed")
    if name == "cluster_files.py":
        pytest.importorskip("distributed", reason="tavix[cluster] is not installed")
    env = dict(os.environ, TAVIX_API_KEY=DEMO_KEY, XDG_CACHE_HOME=str(tmp_path / "cache"),
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("TAVIX_LOCAL_INFERENCING", None)
    # The timeout only detects a hang; it is not a measure of speed.
    child = subprocess.run([sys.executable, str(EXAMPLES / name), str(tmp_path)], cwd=tmp_path,
                           env=env, capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert re.search(EXPECTED[name], child.stdout), child.stdout


def lines(text):
    return [line.rstrip() for line in text.splitlines() if line.strip()]


def test_readme_snippets_are_cut_from_the_examples():
    readme = (ROOT / "README.md").read_text()
    tour = readme[readme.index("## Using it"):readme.index("\n## ", readme.index("## Using it") + 1)]
    snippets = re.findall(r"```python\n(.*?)```", tour, re.S)
    assert len(snippets) >= 5
    examples = [lines(p.read_text()) for p in EXAMPLES.glob("*.py")]
    for snippet in snippets:
        wanted = lines(snippet)
        assert any(
            example[i:i + len(wanted)] == wanted
            for example in examples for i in range(len(example))
        ), f"not in any example:\n{snippet}"
