"""More channels than one processor takes, through the library: each pair of
channels is processed as a stereo stream would process it, and the groups
come back in line with each other whatever the block lengths."""

import numpy as np
import pytest

import tavix
from api_keys import DEMO_KEY
from test_stream import audio_with_silence

RATE = 16000


@pytest.fixture
def session(tmp_path):
    with tavix.Session(DEMO_KEY, storage_dir=tmp_path / "storage") as session:
        yield session


@pytest.mark.parametrize("channels, silent", [(3, []), (5, []), (3, [2]), (4, [0, 1])])
def test_each_pair_is_processed_as_a_stereo_stream_would(session, channels, silent):
    audio = audio_with_silence(1.5, channels)
    audio[:, silent] = 0.0  # unused channels, as a 5.1 file's often are
    whole = session.process(audio, rate=RATE, model="denoise", cloud=False)
    assert whole.shape == audio.shape
    for first in range(0, channels, 2):
        group = np.ascontiguousarray(audio[:, first:first + 2])
        alone = session.process(group if group.shape[1] == 2 else group[:, 0], rate=RATE,
                                model="denoise", cloud=False)
        assert np.array_equal(whole[:, first:first + 2], alone.reshape(len(audio), -1))


@pytest.mark.parametrize("block", [None, 320, 999])
def test_blocks_of_any_length_and_real_time_mode_keep_the_channels_in_line(session, block):
    audio = audio_with_silence(1.0, 4, seed=1)
    with session.stream("passthrough", rate=RATE, channels=4, cloud=False, block=block) as stream:
        size = block or 777
        pieces = [stream.process(audio[start:start + size]) for start in range(0, len(audio), size)
                  if block is None or start + size <= len(audio)]
        out = np.concatenate([*pieces, stream.flush()])
        latency = stream.latency if block is not None else 0
    fed = len(audio) if block is None else len(audio) // block * block
    assert np.array_equal(out[latency:latency + fed], audio[:fed])


def test_translation_of_more_than_two_channels_says_what_to_pass(session):
    with pytest.raises(ValueError, match=r"takes mono or stereo audio, not 3 channels: pass the "
                                         r"channels to transcribe \(for example audio\[:, :2\]\)"):
        session.stream(rate=RATE, channels=3, translate=("en-US", "es-ES"), cloud=False)
