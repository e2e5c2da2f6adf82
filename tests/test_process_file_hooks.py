"""What `tavix.process_file` offers callers that watch a run (the command
line among them): progress and transcripts as they come, outputs that
appear only complete, and a refused model told apart."""

import pytest

import tavix
import tavix.audio
from api_keys import make_api_key
from tavix import signals

soundfile = pytest.importorskip("soundfile", reason="tavix[audio] is not installed")
RATE = 16000


@pytest.fixture
def keys(tmp_path):
    audio, _ = signals.dtmf_sequence(RATE, "70", tail_s=0.8)
    soundfile.write(tmp_path / "keys.wav", audio, RATE)
    return tmp_path / "keys.wav"


def test_hooks_see_every_block_and_every_transcript_in_order(session, keys, monkeypatch):
    monkeypatch.setattr(tavix.audio, "READ_BLOCK", 1000)
    blocks, seen = [], []
    summary = tavix.process_file(keys, None, session=session, model="", cloud=False,
                                 translate=("en-US", "de-DE"), on_progress=blocks.append,
                                 on_transcript=seen.append)
    assert sum(blocks) == summary.frames == soundfile.info(keys).frames and len(blocks) > 1
    assert tuple(seen) == summary.transcripts
    assert [t.text for t in seen if t.final] == ["70", "sieben null"]
    assert summary.destination is None and sorted(p.name for p in keys.parent.glob("*.*")) == ["keys.wav"]


class Stop(Exception):
    pass


def stop(_):
    raise Stop


@pytest.mark.parametrize("hook", ["on_progress", "on_transcript"])
@pytest.mark.parametrize("existing", [False, True])
def test_a_failing_run_leaves_no_partial_output(session, keys, hook, existing):
    destination = keys.with_name("out.flac")
    if existing:
        destination.write_bytes(b"keep")
    with pytest.raises(Stop):
        tavix.process_file(keys, destination, session=session, model="", cloud=False,
                           translate=("en-US", "es-ES"), **{hook: stop})
    assert (destination.read_bytes() == b"keep") if existing else not destination.exists()
    assert sorted(p.name for p in keys.parent.iterdir() if p.is_file()) == sorted(
        ["keys.wav"] + (["out.flac"] if existing else []))


def test_overwrite_false_keeps_an_existing_output(session, keys):
    destination = keys.with_name("out.wav")
    destination.write_bytes(b"keep")
    with pytest.raises(FileExistsError):
        tavix.process_file(keys, destination, session=session, model="passthrough", overwrite=False)
    assert destination.read_bytes() == b"keep"


def test_a_model_the_key_lacks_is_refused_by_name(tmp_path, keys):
    with tavix.Session(make_api_key("alice", grant="passthrough"), storage_dir=tmp_path / "s") as session:
        with pytest.raises(tavix.ModelRefusedError) as refused:
            tavix.process_file(keys, tmp_path / "out.wav", session=session, model="denoise")
    assert refused.value.model == "denoise" and isinstance(refused.value, RuntimeError)
    assert not (tmp_path / "out.wav").exists()
