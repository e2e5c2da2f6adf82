"""Speed and quality of the `denoise` model, optionally side by side with
another build of the module (for example one with a different FFT).

    python bench/bench_denoise.py [--baseline BUILD_DIR] [--rounds N]

Times `process_frame` with 20 ms frames on the local path at 16, 44.1 and 48 kHz,
mono and stereo, and measures the SNR gain on the test signals of
tests/test_denoise.py and on the main job's tone (cloud path, L16 link).

Each build runs in its own worker process (a process can load only one copy
of the module); the workers alternate for `--rounds` rounds and the best time
of each is kept, so drifting machine load hits both alike. Without
`--baseline` the reference is numpy's real FFT round trip over the same
windows, which puts the suppressor's cost in proportion to its transforms.

The module under test is whatever `import _tavix_module` finds (installed,
or PYTHONPATH=build/pkg:python); BUILD_DIR is put first on the baseline
worker's PYTHONPATH."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

CONFIGS = [(16000, 1), (16000, 2), (44100, 1), (48000, 1), (48000, 2)]
SNR_CASES = [(16000, 0.0), (16000, 5.0), (48000, 0.0), (48000, 5.0)]
SETTLE_S = 1.5  # the suppressor's priming, latency and noise-floor learning


def best_of(statement, number: int, repeat: int = 5) -> float:
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


def worker(key: str) -> None:
    """Prints one JSON record of this process's module: seconds per frame
    per config, numpy's FFT reference per config, SNR gains."""
    os.environ["TAVIX_LOCAL_INFERENCING"] = "1"
    import numpy as np

    import _tavix_module as m
    from tavix import demo, signals

    record: dict = {"module": m.__file__, "frame_s": {}, "numpy_fft_s": {}, "snr_gain_db": {}}
    with tempfile.TemporaryDirectory() as storage:
        sdk = m.create_sdk(m.InitParams(storage))
        if not sdk.activate_api_key(key).success:
            sys.exit("activation failed")
        for rate, channels in CONFIGS:
            chunk = rate // 50
            samples = np.random.default_rng(1).standard_normal(chunk * channels).astype(np.float32) * 0.1
            frame = m.AudioFrame(samples)
            attrs = m.ProcessorAttributes(m.AudioAttributes(rate, channels, "denoise"))
            with sdk.create_audio_processor(attrs) as processor:
                for _ in range(50):  # past the priming frames
                    processor.process_frame(frame)
                seconds = best_of(lambda: processor.process_frame(frame), 300)
            record["frame_s"][f"{rate}/{channels}"] = seconds

            # A 20 ms frame is two hops per channel, each one window forward
            # and back.
            window = np.random.default_rng(2).standard_normal(2 * (rate // 100)).astype(np.float32)

            def numpy_round_trips():
                for _ in range(2 * channels):
                    np.fft.irfft(np.fft.rfft(window))

            record["numpy_fft_s"][f"{rate}/{channels}"] = best_of(numpy_round_trips, 300)

        for rate, snr_in in SNR_CASES:
            _, noisy = signals.noisy_tone(rate, 4.0, 440.0, snr_in)
            attrs = m.ProcessorAttributes(m.AudioAttributes(rate, 1, "denoise"))
            with sdk.create_audio_processor(attrs) as processor:
                out = np.concatenate([
                    np.frombuffer(processor.process_frame(m.AudioFrame(noisy[i:i + rate // 50])).samples,
                                  np.float32).copy()
                    for i in range(0, noisy.size, rate // 50)])
            settle = int(SETTLE_S * rate)
            gain = (signals.tone_snr_db(out[settle:], rate, 440.0)
                    - signals.tone_snr_db(noisy[settle:], rate, 440.0))
            record["snr_gain_db"][f"test {rate // 1000} kHz, {snr_in:g} dB in"] = gain

        os.environ.pop("TAVIX_LOCAL_INFERENCING")
        config = demo.DemoConfig(key=key)
        samples, tone_part = demo.synthesize(config)
        running, on_state = quiet_state_watcher(m)
        audio = m.AudioAttributes(config.rate, 1, "denoise", audio_pipeline_state_notify=on_state)
        audio.cloud_inferencing_params.use_pcm16 = True
        denoised, _ = demo.run_processor(sdk, m.ProcessorAttributes(audio), samples, config.rate, running)
        settled = slice(int(SETTLE_S * config.rate), tone_part.size)
        record["snr_gain_db"]["main job, 16 kHz cloud L16"] = (
            signals.tone_snr_db(denoised[settled], config.rate, 440.0)
            - signals.tone_snr_db(samples[settled], config.rate, 440.0))
    print(json.dumps(record))


def quiet_state_watcher(m):
    """demo.state_watcher without its printing."""
    import threading

    running = threading.Event()

    def on_state(state):
        if state == m.PipelineState.RUNNING:
            running.set()
    return running, on_state


def run_worker(key: str, baseline: str | None) -> dict:
    env = dict(os.environ)
    if baseline is not None:
        source_python = str(Path(__file__).resolve().parent.parent / "python")
        env["PYTHONPATH"] = os.pathsep.join(
            [str(Path(baseline).resolve()), source_python] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    done = subprocess.run([sys.executable, __file__, "--worker", "--key", key],
                          env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def merge(best: dict | None, record: dict) -> dict:
    if best is None:
        return record
    for table in ("frame_s", "numpy_fft_s"):
        for name, seconds in record[table].items():
            best[table][name] = min(best[table][name], seconds)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", metavar="BUILD_DIR", help="a build folder holding another _tavix_module")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--key", default="tvx1-demo-all-never-13c5b659")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.key)
        return

    ours = base = None
    for _ in range(args.rounds):
        ours = merge(ours, run_worker(args.key, None))
        if args.baseline:
            base = merge(base, run_worker(args.key, args.baseline))

    print(f"this build: {ours['module']}")
    if base:
        print(f"baseline:   {base['module']}")
    print(f"\nprocess_frame, denoise, 20 ms frames, local path (best of {args.rounds} rounds):")
    for rate, channels in CONFIGS:
        name = f"{rate}/{channels}"
        label = f"{rate / 1000:g} kHz {'mono' if channels == 1 else 'stereo'}"
        t = ours["frame_s"][name]
        if base:
            b = base["frame_s"][name]
            print(f"  {label:<16} this {t * 1e6:8.2f} us   baseline {b * 1e6:8.2f} us   ratio {t / b:6.3f}"
                  f"   real-time factor {t / 0.020:.5f} vs {b / 0.020:.5f}")
        else:
            r = ours["numpy_fft_s"][name]
            print(f"  {label:<16} this {t * 1e6:8.2f} us   numpy FFT round trips {r * 1e6:8.2f} us"
                  f"   ratio {t / r:6.3f}   real-time factor {t / 0.020:.5f}")
    print("\nSNR gain of denoise on the tone:")
    for name, gain in ours["snr_gain_db"].items():
        if base:
            b = base["snr_gain_db"][name]
            print(f"  {name:<28} this {gain:+8.3f} dB   baseline {b:+8.3f} dB   difference {gain - b:+.3f} dB")
        else:
            print(f"  {name:<28} {gain:+8.3f} dB")


if __name__ == "__main__":
    main()
