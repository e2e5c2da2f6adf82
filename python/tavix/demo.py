"""The main job: a processing run of the SDK on synthetic audio.

It synthesises a noisy tone followed by a DTMF key sequence, runs it through
the `denoise` model and through the language-translation pipeline, writes the
audio to WAV files, prints transcripts and pipeline states as they arrive,
and prints the measured SNR gain and real-time factor."""

from __future__ import annotations

import threading
import time
import wave
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import _tavix_module as sdk_module
from tavix import signals
from tavix.stream import min_frames, process_signal


@dataclass
class DemoConfig:
    key: str
    storage: str = "./storage"
    out_dir: str = "./out"
    rate: int = 16000
    tone_seconds: float = 3.0
    tone_snr_db: float = 0.0
    keys: str = "2026#"
    language_in: str = "en-US"
    language_out: str = "es-ES"


def write_wav(path: Path, samples: np.ndarray, rate: int) -> None:
    pcm = (np.clip(samples, -1.0, 1.0) * 32767.0).round().astype("<i2")
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(pcm.tobytes())


def synthesize(config: DemoConfig) -> tuple[np.ndarray, np.ndarray]:
    """(input, tone_part): a noisy tone, then DTMF keys in light noise."""
    _, noisy = signals.noisy_tone(config.rate, config.tone_seconds, snr_db=config.tone_snr_db)
    keys, _ = signals.dtmf_sequence(config.rate, config.keys, tail_s=0.8)
    keys = signals.with_noise(keys, 25.0, seed=1)
    return np.concatenate([noisy, keys]).astype(np.float32), noisy


def print_state(state: sdk_module.PipelineState) -> None:
    print(f"  pipeline: {state.name}", flush=True)


def print_transcript(frame: sdk_module.TextFrame) -> None:
    data = frame.transcript_data_
    for kind, segments in (("complete", data.complete), ("partial", data.partial)):
        for segment in segments:
            print(f"  {frame.type_.name:<13} {data.language_code_:<6} utterance {data.utterance_idx} "
                  f"{kind:<8} {segment.start}-{segment.end} s  p={segment.probability:.2f}  "
                  f"{segment.text!r}", flush=True)


def run_processor(sdk: sdk_module.Sdk, attrs: sdk_module.ProcessorAttributes, samples: np.ndarray,
                  rate: int, running: threading.Event) -> tuple[np.ndarray, float]:
    """Processes `samples` in 20 ms frames (the SDK's minimum, rounded up
    where 50 does not divide the rate) once the remote pipeline runs;
    returns the output and the real-time factor."""
    with sdk.create_audio_processor(attrs) as processor:
        if not running.wait(10):
            raise RuntimeError("the remote pipeline did not reach RUNNING")
        started = time.perf_counter()
        output = process_signal(processor, samples, min_frames(rate))
        elapsed = time.perf_counter() - started
    return output, elapsed / (samples.size / rate)


def state_watcher() -> tuple[threading.Event, Callable[[sdk_module.PipelineState], None]]:
    running = threading.Event()

    def on_state(state: sdk_module.PipelineState) -> None:
        print_state(state)
        if state == sdk_module.PipelineState.RUNNING:
            running.set()
    return running, on_state


def run(config: DemoConfig) -> int:
    sdk = sdk_module.create_sdk(sdk_module.InitParams(config.storage))
    print(f"SDK version: {sdk.version}")
    result = sdk.activate_api_key(config.key)
    outcome = "ok" if result.success else f"refused: {result.error_type.name}"
    print(f"activation: {outcome}: {result.message}")
    if not result.success:
        return 1

    out_dir = Path(config.out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    print(f"writing into {out_dir}")
    samples, tone_part = synthesize(config)
    write_wav(out_dir / "input.wav", samples, config.rate)

    print(f"\ndenoise ({samples.size / config.rate:.1f} s at {config.rate} Hz, cloud path, L16 link):")
    running, on_state = state_watcher()
    audio = sdk_module.AudioAttributes(config.rate, 1, "denoise", audio_pipeline_state_notify=on_state)
    audio.cloud_inferencing_params.use_pcm16 = True
    denoised, denoise_rtf = run_processor(sdk, sdk_module.ProcessorAttributes(audio), samples,
                                          config.rate, running)
    write_wav(out_dir / "denoised.wav", denoised, config.rate)

    # The suppressor needs about 1.5 s to learn the noise floor; measure after it.
    settled = slice(int(1.5 * config.rate), tone_part.size)
    gain = (signals.tone_snr_db(denoised[settled], config.rate, 440.0)
            - signals.tone_snr_db(samples[settled], config.rate, 440.0))

    print(f"\ntranslation ({config.language_in} -> {config.language_out}), keys {config.keys!r}:")
    running, on_state = state_watcher()
    lt = sdk_module.LanguageTranslationConfig(config.language_in, config.language_out, callback=print_transcript)
    attrs = sdk_module.ProcessorAttributes(sdk_module.AudioAttributes(config.rate, 1, audio_pipeline_state_notify=on_state), lt)
    _, translation_rtf = run_processor(sdk, attrs, samples, config.rate, running)

    print(f"\nwrote {out_dir / 'input.wav'} and {out_dir / 'denoised.wav'}")
    print(f"SNR gain of denoise on the tone: {gain:+.1f} dB")
    print(f"real-time factor: denoise {denoise_rtf:.4f}, translation {translation_rtf:.4f}")
    return 0
