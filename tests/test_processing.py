"""The substitute SDK's processors end to end: timing, drain, formats, paths, callbacks."""

import gc
import math
import re
import subprocess
import threading
from pathlib import Path

import numpy as np
import pytest

import _tavix_module as m
from api_keys import DEMO_KEY
from helpers import StateRecorder, processor_attrs
from tavix import signals

S = m.PipelineState
LATENCY_MS = 40  # the engine's latency on top of the model's own


def frames_in_ms(rate, ms):
    return math.ceil(rate * ms / 1000)


def noise(count, seed=0):
    return (np.random.default_rng(seed).standard_normal(count) * 0.2).astype(np.float32)


def push(processor, samples):
    """Pushes one array and returns a copy of what came back."""
    out = processor.process_frame(m.AudioFrame(samples))
    return np.frombuffer(out.samples, np.float32).copy()


def drain(processor, rate, channels=1, limit=1000):
    """Pushes 20 ms silence frames until an empty frame comes back; returns the tail."""
    silence = np.zeros(frames_in_ms(rate, 20) * channels, np.float32)
    tail = []
    for _ in range(limit):
        out = push(processor, silence)
        if out.size == 0:
            return np.concatenate(tail) if tail else np.zeros(0, np.float32)
        tail.append(out)
    raise AssertionError("the processor never drained")


def run_stream(processor, chunks, rate, channels=1):
    outputs = [push(processor, chunk) for chunk in chunks]
    return np.concatenate(outputs + [drain(processor, rate, channels)])


SIZE_PATTERNS = {
    "minimum": lambda low: [low] * 12,
    "mixed": lambda low: [low, 3 * low + 7, low + 1, 10 * low, low, 3 * low - 1],
    "random": lambda low: list(np.random.default_rng(7).integers(low, 6 * low, 25)),
    "one_big": lambda low: [50 * low + 13],
}


@pytest.mark.parametrize("pattern", SIZE_PATTERNS)
@pytest.mark.parametrize("rate, channels", [(16000, 1), (8000, 1), (11025, 2), (44100, 2),
                                            (192000, 1)])
def test_passthrough_output_is_the_input_delayed(activated, pattern, rate, channels):
    low = frames_in_ms(rate, 20)
    chunks = [noise(int(n) * channels, seed=i) for i, n in enumerate(SIZE_PATTERNS[pattern](low))]
    with activated.create_audio_processor(
            processor_attrs("passthrough", rate, channels, local=True)) as processor:
        out = run_stream(processor, chunks, rate, channels)
    np.testing.assert_array_equal(out, np.concatenate(chunks))


def logged_latency(sdk_storage):
    line = (sdk_storage / "logs" / "tavix.log").read_text().splitlines()[-1]
    return int(re.search(r"latency_frames=(\d+)", line).group(1))


@pytest.mark.parametrize("model, extra_ms", [("passthrough", 0), ("denoise", 20)])
@pytest.mark.parametrize("rate, channels", [(16000, 1), (44100, 2), (8000, 2)])
def test_output_lags_by_a_fixed_latency(activated, tmp_path, model, extra_ms, rate, channels):
    low = frames_in_ms(rate, 20)
    chunks = [noise(int(n) * channels, seed=i) for i, n in enumerate(SIZE_PATTERNS["random"](low))]
    with activated.create_audio_processor(
            processor_attrs(model, rate, channels, local=True)) as processor:
        latency = logged_latency(tmp_path / "storage")
        assert latency == frames_in_ms(rate, LATENCY_MS) + frames_in_ms(rate, extra_ms)
        taken = emitted = 0
        for chunk in chunks:
            emitted += push(processor, chunk).size // channels
            taken += chunk.size // channels
            assert emitted == max(0, taken - latency)
        assert drain(processor, rate, channels).size // channels == latency


def test_early_calls_prime_and_drained_processor_stays_empty(activated):
    with activated.create_audio_processor(processor_attrs(local=True)) as processor:
        assert push(processor, noise(320)).size == 0     # 20 ms in, 40 ms latency
        assert push(processor, noise(320)).size == 0
        assert push(processor, noise(320)).size == 320
        drain(processor, 16000)
        assert push(processor, np.zeros(320, np.float32)).size == 0


def test_frames_shorter_than_20_ms_are_dropped(activated):
    kept = [noise(320, 1), noise(400, 2), noise(320, 3)]
    with activated.create_audio_processor(processor_attrs(local=True)) as processor:
        out = []
        for chunk in [kept[0], noise(319, 9), kept[1], np.zeros(0, np.float32), kept[2]]:
            out.append(push(processor, chunk))
        assert out[1].size == 0 and out[3].size == 0
        out.append(drain(processor, 16000))
    np.testing.assert_array_equal(np.concatenate(out), np.concatenate(kept))


def test_silence_inside_the_stream(activated):
    """Silence shorter than the latency is kept, longer silence is cut to the latency."""
    latency = frames_in_ms(16000, LATENCY_MS)
    a, b, c = noise(1000, 1), noise(700, 2), noise(900, 3)
    short = np.zeros(320, np.float32)
    long = [np.zeros(800, np.float32)] * 10
    with activated.create_audio_processor(processor_attrs(local=True)) as processor:
        out = run_stream(processor, [a, short, b, *long, c], 16000)
    expected = np.concatenate([a, short, b, np.zeros(latency, np.float32), c])
    np.testing.assert_array_equal(out, expected)


def test_stream_that_starts_with_silence(activated):
    with activated.create_audio_processor(processor_attrs(local=True)) as processor:
        for _ in range(5):
            assert push(processor, np.zeros(320, np.float32)).size == 0
        out = run_stream(processor, [noise(640)], 16000)
    assert out.size == 640 + frames_in_ms(16000, LATENCY_MS)


def test_bad_frames_are_refused_and_the_processor_stays_usable(activated):
    chunks = [noise(2 * 441, 1), noise(2 * 500, 2)]
    with activated.create_audio_processor(
            processor_attrs("passthrough", 22050, 2, local=True)) as processor:
        out = [push(processor, chunks[0])]
        with pytest.raises(ValueError, match="multiple"):
            processor.process_frame(m.AudioFrame(noise(2 * 441 + 1)))
        out.append(push(processor, chunks[1]))
        out.append(drain(processor, 22050, 2))
    np.testing.assert_array_equal(np.concatenate(out), np.concatenate(chunks))


def lt(language_in="en-US", language_out="es-ES", callback=None):
    return m.LanguageTranslationConfig(language_in, language_out, callback=callback)


@pytest.mark.parametrize("attrs, message", [
    (lambda: processor_attrs("passthrough", 7999), "sampling_rate"),
    (lambda: processor_attrs("passthrough", 192001), "sampling_rate"),
    (lambda: processor_attrs("passthrough", 16000, 0), "channels"),
    (lambda: processor_attrs("passthrough", 16000, 3), "channels"),
    (lambda: m.ProcessorAttributes(m.AudioAttributes(), lt("xx-XX", "es-ES")), "language_in"),
    (lambda: m.ProcessorAttributes(m.AudioAttributes(), lt("en-US", "klingon")), "language_out"),
    (lambda: m.ProcessorAttributes(m.AudioAttributes(16000, 1, "denoise"), lt()), "model_name"),
    (lambda: processor_attrs("translation"), "lt_config"),
])
def test_bad_attributes_are_refused(activated, attrs, message):
    with pytest.raises(ValueError, match=message):
        activated.create_audio_processor(attrs())
    activated.create_audio_processor(processor_attrs()).close()


def test_pipeline_states_on_the_cloud_path(activated):
    states = StateRecorder()
    processor = activated.create_audio_processor(processor_attrs(notify=states))
    assert states.running.wait(10)
    push(processor, noise(320))
    processor.close()
    assert states.seen == [S.TRYING, S.RUNNING, S.NOT_RUNNING]


def test_pipeline_closed_before_it_runs(activated):
    states = StateRecorder()
    activated.create_audio_processor(processor_attrs(notify=states)).close()
    assert states.seen in ([S.TRYING, S.NOT_RUNNING], [S.TRYING, S.RUNNING, S.NOT_RUNNING])


def test_frames_before_running_pass_unprocessed(activated):
    """The pipeline cannot run before TRYING was delivered, so a TRYING callback that
    waits holds the processor in its unprocessed state."""
    states, release = StateRecorder(), threading.Event()

    def notify(state):
        if state == S.TRYING:
            release.wait(10)
        states(state)

    early, late = noise(960, 1), noise(960, 2)
    with activated.create_audio_processor(processor_attrs(notify=notify)) as processor:
        out = [push(processor, early)]
        release.set()
        assert states.running.wait(10)
        out += [push(processor, late), drain(processor, 16000)]
    out = np.concatenate(out)
    np.testing.assert_array_equal(out[:960], early)
    assert not np.array_equal(out[960:], late)               # mu-law on the link
    np.testing.assert_allclose(out[960:], late, atol=0.02)


def test_local_path_reports_no_states(activated, monkeypatch):
    monkeypatch.setenv("TAVIX_LOCAL_INFERENCING", "1")
    states = StateRecorder()
    attrs = m.ProcessorAttributes(m.AudioAttributes(16000, 1, "passthrough",
                                                    audio_pipeline_state_notify=states))
    with activated.create_audio_processor(attrs) as processor:
        chunk = noise(640)
        out = run_stream(processor, [chunk], 16000)
    np.testing.assert_array_equal(out, chunk)
    assert states.seen == []


def cloud_passthrough(sdk, use_pcm16, chunks):
    """The stream through a running cloud pipeline with the chosen link codec."""
    states = StateRecorder()
    params = m.CloudInferencingParams()
    params.use_pcm16 = use_pcm16
    attrs = m.ProcessorAttributes(m.AudioAttributes(
        16000, 1, "passthrough", params, audio_pipeline_state_notify=states))
    with sdk.create_audio_processor(attrs) as processor:
        assert states.running.wait(10)
        return run_stream(processor, chunks, 16000)


def test_link_codec_is_audible(activated):
    t = np.arange(16000) / 16000
    tone = (0.5 * np.sin(2 * np.pi * 440 * t)).astype(np.float32)
    chunks = np.split(tone, 50)
    pcm16 = cloud_passthrough(activated, True, chunks)
    mulaw = cloud_passthrough(activated, False, chunks)
    expected_pcm16 = (np.round(tone * np.float32(32767)) / np.float32(32767)).astype(np.float32)
    np.testing.assert_array_equal(pcm16, expected_pcm16)
    error_pcm16 = np.sqrt(np.mean((pcm16 - tone) ** 2))
    error_mulaw = np.sqrt(np.mean((mulaw - tone) ** 2))
    assert error_pcm16 < 2e-5
    assert 1e-3 < error_mulaw < 2e-2   # G.711 is about 38 dB below a loud tone
    assert np.all(np.abs(mulaw - tone) <= 0.02)


def test_cloud_pcm16_keeps_16_bit_audio_exact(activated):
    ints = np.random.default_rng(3).integers(-20000, 20000, 16000)
    audio = (ints.astype(np.float32) / np.float32(32767)).astype(np.float32)
    chunks = np.split(audio, 40)
    np.testing.assert_array_equal(cloud_passthrough(activated, True, chunks), audio)


def test_processor_outlives_its_sdk(tmp_path):
    sdk = m.create_sdk(m.InitParams(str(tmp_path)))
    assert sdk.activate_api_key(DEMO_KEY).success
    states = StateRecorder()
    processor = sdk.create_audio_processor(processor_attrs(notify=states, local=False))
    del sdk
    gc.collect()
    assert states.running.wait(10)
    chunks = [noise(480, i) for i in range(6)]
    out = run_stream(processor, chunks, 16000)
    assert out.size == 6 * 480
    processor.close()
    assert states.stopped.is_set()
    assert "destroy_audio_processor" in (tmp_path / "logs" / "tavix.log").read_text()


def test_concurrent_calls_into_one_processor(activated):
    with activated.create_audio_processor(processor_attrs(local=True)) as processor:
        counts = []

        def pusher(seed):
            for i in range(30):
                counts.append(processor.process_frame(m.AudioFrame(noise(320 + i, seed))).frame_count)

        threads = [threading.Thread(target=pusher, args=(seed,)) for seed in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        tail = drain(processor, 16000)
    assert sum(counts) + tail.size == 4 * sum(320 + i for i in range(30))


def test_denoise_keeps_length_and_quietens_noise(activated):
    hiss = noise(3 * 16000, seed=5) * np.float32(0.1)
    with activated.create_audio_processor(processor_attrs("denoise", local=True)) as processor:
        out = run_stream(processor, np.split(hiss, 150), 16000)
    assert out.size == hiss.size
    second_half = slice(hiss.size // 2, None)
    assert np.sqrt(np.mean(out[second_half] ** 2)) < 0.5 * np.sqrt(np.mean(hiss[second_half] ** 2))


def test_translation_turns_keys_into_text(activated, monkeypatch):
    monkeypatch.setenv("TAVIX_LOCAL_INFERENCING", "1")
    frames = []
    done = threading.Event()

    def on_text(frame):
        frames.append(frame)
        if frame.transcript_data_.complete and frame.type_ == m.TranscriptType.TRANSLATION:
            done.set()

    attrs = m.ProcessorAttributes(m.AudioAttributes(), lt("en-US", "es-ES", on_text))
    # 100 ms before the first key; a faint hum keeps every chunk from being
    # digital silence.
    keys, _ = signals.dtmf_sequence(16000, "12#", tone_s=0.1, pause_s=0.1, amplitude=0.25,
                                    lead_s=0.1)
    audio = keys + np.float32(0.001)
    with activated.create_audio_processor(attrs) as processor:
        out = run_stream(processor, np.array_split(audio, 20), 16000)
        for _ in range(50):  # a second of silence ends the key sequence
            push(processor, np.zeros(320, np.float32))
        assert done.wait(10)
    np.testing.assert_array_equal(out, audio)
    final = [f for f in frames if f.transcript_data_.complete]
    assert [(f.type_, f.transcript_data_.language_code_) for f in final] == [
        (m.TranscriptType.TRANSCRIPTION, "en-US"), (m.TranscriptType.TRANSLATION, "es-ES")]
    said, translated = (f.transcript_data_.complete[0] for f in final)
    assert said.text == "12#"
    assert translated.text == "uno dos almohadilla"
    assert 0.05 < float(said.start) < 0.15 and 0.55 < float(said.end) < 0.7
    assert 0.0 < said.probability <= 1.0
    partial = [f for f in frames if f.transcript_data_.partial]
    assert partial and all(f.transcript_data_.utterance_idx == 0 for f in frames)
    assert frames.index(final[0]) > frames.index(partial[0])


def test_model_from_models_dir_applies_its_gain(tmp_path, monkeypatch):
    models = tmp_path / "models"
    models.mkdir()
    (models / "half.tavixmodel").write_text("engine = passthrough\ngain_db = -6.0206\n")
    monkeypatch.setenv("TAVIX_MODELS_DIR", str(models))
    sdk = m.create_sdk(m.InitParams(str(tmp_path / "storage")))
    assert sdk.activate_api_key(DEMO_KEY).success
    chunk = noise(960)
    with sdk.create_audio_processor(processor_attrs("half", local=True)) as processor:
        out = run_stream(processor, [chunk], 16000)
    np.testing.assert_allclose(out, chunk * 0.5, rtol=1e-4)


# Beside the module only in a build tree: scripts/check-sanitizers runs the
# suite there, so this is where the check runs under AddressSanitizer and
# UBSan (scripts/check-threads runs it under ThreadSanitizer).
SELF_RELEASE_CHECK = Path(m.__file__).parent / "sdk" / "tavix_sdk_self_release_check"


@pytest.mark.skipif(not SELF_RELEASE_CHECK.exists(), reason="needs the build tree's SDK check")
def test_native_host_may_release_a_processor_inside_its_callback(tmp_path):
    done = subprocess.run([str(SELF_RELEASE_CHECK), str(tmp_path)], capture_output=True,
                          text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr
