import re
import wave

from tavix.cli import main


def test_main_job_processes_and_reports(tmp_path, capsys):
    """The README's main job end to end: activation, both processing runs,
    the WAV files, the transcripts and a positive SNR gain."""
    out = tmp_path / "out"
    assert main(["demo", "--storage", str(tmp_path / "storage"), "--out", str(out), "--keys", "42"]) == 0
    printed = capsys.readouterr().out
    assert "'cuatro dos'" in printed and "complete" in printed
    gain = float(re.search(r"SNR gain of denoise on the tone: ([+-][\d.]+) dB", printed).group(1))
    assert gain > 6
    for name in ("input.wav", "denoised.wav"):
        with wave.open(str(out / name)) as audio:
            assert audio.getframerate() == 16000 and audio.getnframes() > 16000


def test_main_job_fails_cleanly_on_a_refused_key(tmp_path, capsys):
    assert main(["demo", "--storage", str(tmp_path), "--out", str(tmp_path), "--key", ""]) == 1
    assert "NO_CREDENTIALS" in capsys.readouterr().out
