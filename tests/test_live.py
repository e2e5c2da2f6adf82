"""`tavix live` on a real sound server: a private PulseAudio daemon with null
sinks (tests/pulse_server.py), reached through PortAudio and ALSA's pulse
plugin as on a desktop. The path replays a few milliseconds now and then
without reporting it, so the output is judged over many blocks, never
sample by sample."""

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

from api_keys import DEMO_KEY
from pulse_server import RATE, PulseServer, missing_tools

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
BLOCK = RATE // 50  # the default: 20 ms
# Detects a hang only; no test measures speed.
TIMEOUT = 60


def portaudio_missing():
    try:
        import sounddevice  # noqa: F401
    except ImportError:
        return "sounddevice is not installed (pip install 'tavix[live]')"
    except OSError as error:
        return f"no PortAudio library ({error}): apt-get install libportaudio2"
    return None


@pytest.fixture(scope="module")
def pulse_daemon(tmp_path_factory):
    reason = portaudio_missing() or (missing_tools() and
                                     f"no {', '.join(missing_tools())}: apt-get install pulseaudio pulseaudio-utils")
    if reason:
        pytest.skip(reason)
    try:
        server = PulseServer(tmp_path_factory.mktemp("pulse"))
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        pytest.skip(f"cannot start a PulseAudio daemon here: {error}")
    yield server
    server.stop()


@pytest.fixture
def pulse(pulse_daemon):
    """The daemon, running: one that ended during an earlier test is started
    again, so that one lost server does not fail every test after it."""
    ended = pulse_daemon.ensure_running()
    if ended is not None:
        warnings.warn(f"the PulseAudio daemon had ended and was started again: {ended}")
    return pulse_daemon


def tavix_env(extra=None, **variables):
    env = dict(extra if extra is not None else os.environ, TAVIX_API_KEY=DEMO_KEY,
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **variables)
    env.pop("TAVIX_LOCAL_INFERENCING", None)
    return env


def tone_in_noise(seconds, snr_noise=0.1, seed=7):
    t = np.arange(int(seconds * RATE)) / RATE
    noise = np.random.default_rng(seed).standard_normal(len(t))
    return (0.3 * np.sin(2 * np.pi * 440 * t) + snr_noise * noise).astype(np.float32)


#: Runs of `tavix live` a test makes before it gives up on an undisturbed one.
ATTEMPTS = 3


def run_live(pulse, tmp_path, signal_audio, *options, local=False, late=None):
    """Runs `tavix live` between the studio's input and output, plays
    `signal_audio` into the input while recording the studio, and stops it
    with SIGINT; returns (input, output) as recorded side by side and the
    JSON lines it printed.

    An output underflow or input overflow means the sound server or the
    callback did not get the processor in time; the ALSA-to-PulseAudio path
    then plays the rest later, so the delay grows and nothing else can be
    judged. That is the machine being busy (other processes can take both
    cores for longer than the devices' buffer), so such a run is repeated,
    and the test skips, saying so, when no run was undisturbed.

    The same path also replays without reporting it. `late(source, output,
    summary)`, when given, says how many frames a run came out later than it
    should have, and a run that came out later by more than a block counts as
    disturbed too. A busy machine adds a different delay each time; when every
    run is late by about the same, the lateness is ours, and that fails."""
    glitches = []
    for attempt in range(ATTEMPTS):
        source, output, lines = run_live_once(pulse, tmp_path / f"run{attempt}", signal_audio,
                                              *options, local=local)
        summary = lines[-1]
        assert summary["event"] == "summary", lines
        lateness = late(source, output, summary) if late else 0
        if summary["output_underflows"] == 0 and summary["input_overflows"] == 0 and lateness <= BLOCK:
            return source, output, lines
        glitches.append((summary["output_underflows"], summary["input_overflows"], lateness))
    late_runs = [lateness for underflows, overflows, lateness in glitches if lateness > BLOCK]
    assert len(late_runs) < ATTEMPTS or max(late_runs) - min(late_runs) > BLOCK, \
        f"every run came out late by about the same ({late_runs} frames)"
    pytest.skip(f"the machine was too busy for a run without glitches (load {os.getloadavg()[0]:.1f}; "
                f"underflows, overflows, frames late of each run: {glitches})")


def status_line(live):
    """The next line `live` prints; it is killed if none comes in time."""
    watchdog = threading.Timer(TIMEOUT, live.kill)
    watchdog.start()
    try:
        line = live.stdout.readline()
    finally:
        watchdog.cancel()
    assert line, live.stderr.read()
    return line


@contextlib.contextmanager
def live_in_studio(pulse, cwd, *options, local=False):
    """`tavix live --json` from the studio's input to its output; killed on
    the way out if the test did not stop it."""
    env = tavix_env(pulse.client_env(PULSE_SOURCE="in", PULSE_SINK="out"))
    if local:
        env["TAVIX_LOCAL_INFERENCING"] = "1"
    live = subprocess.Popen(
        [sys.executable, "-m", "tavix", "live", "--input", "pulse", "--output", "pulse", "--json",
         "--storage", "storage", *options],
        env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        yield live
    finally:
        if live.poll() is None:
            live.kill()
            live.wait()


def stop(live, how=signal.SIGINT):
    """Stops `live` as a user would; it must end cleanly. Returns the JSON
    lines it printed since the last one read."""
    live.send_signal(how)
    out, err = live.communicate(timeout=TIMEOUT)
    assert live.returncode == 0, err
    assert "Traceback" not in err, err
    return [json.loads(line) for line in out.splitlines()]


def run_live_once(pulse, tmp_path, signal_audio, *options, local=False):
    import soundfile

    tmp_path.mkdir()
    played = tmp_path / "signal.wav"
    soundfile.write(played, signal_audio, RATE, subtype="FLOAT")
    recording = tmp_path / "studio.raw"
    with live_in_studio(pulse, tmp_path, *options, local=local) as live:
        lines = []
        while not lines or lines[-1]["state"] != "running":  # the sound card and the model run
            lines.append(json.loads(status_line(live)))
        recorder = subprocess.Popen(
            ["parec", "-d", "mix.monitor", "--format=float32le", f"--rate={RATE}", "--channels=2",
             "--raw", str(recording)], env=pulse.env)
        time.sleep(0.3)
        subprocess.run(["paplay", "-d", "feed", str(played)], env=pulse.env, check=True,
                       timeout=TIMEOUT)
        time.sleep(0.5)
        recorder.terminate()
        recorder.wait(timeout=TIMEOUT)
        lines += stop(live)
    studio = np.fromfile(recording, np.float32).reshape(-1, 2)
    return studio[:, 0], studio[:, 1], lines


def delay_of(reference, delayed, longest=RATE):
    """The lag (frames, up to `longest`) at which `delayed` best matches
    `reference`."""
    size = 1 << int(np.ceil(np.log2(len(reference) + len(delayed))))
    correlation = np.fft.irfft(np.fft.rfft(delayed, size) * np.conj(np.fft.rfft(reference, size)), size)
    return int(np.argmax(correlation[:longest]))


def later_than_reported(source, output, summary):
    """Frames by which the output came out later than the latency `tavix
    live` reported, at the worst second of the recording."""
    reported = summary["latency"] * RATE
    seconds = [delay_of(source[a:a + 2 * RATE], output[a:a + 2 * RATE])
               for a in range(0, len(source) - 2 * RATE, RATE)
               if np.abs(source[a:a + RATE]).max() > 0.05]
    return max(seconds, default=delay_of(source, output)) - reported


def share_of_equal_blocks(reference, other, atol=1e-5):
    """Of the 20 ms blocks where `reference` has sound, the share that
    `other` matches (PCM_16 files: `atol` 1e-4)."""
    blocks = [(reference[i:i + BLOCK], other[i:i + BLOCK])
              for i in range(0, min(len(reference), len(other)) - BLOCK, BLOCK)
              if np.abs(reference[i:i + BLOCK]).max() > 0.05]
    assert len(blocks) > 200
    return sum(np.allclose(a, b, atol=atol) for a, b in blocks) / len(blocks)


def test_passthrough_is_the_input_at_the_reported_latency(pulse, tmp_path):
    played = tone_in_noise(5.0, snr_noise=0.2)
    source, output, lines = run_live(pulse, tmp_path, played, "--model", "passthrough",
                                     "--record", "processed.wav", local=True, late=later_than_reported)
    record = max(tmp_path.glob("run*/processed.wav"))
    summary = lines[-1]
    delay = delay_of(source, output)
    # Never sooner than reported (late runs were repeated).
    assert delay - summary["latency"] * RATE >= -BLOCK, (delay, summary)

    # The output is the input (float32 all the way) but for the odd
    # replayed block.
    assert share_of_equal_blocks(source, output[delay:]) >= 0.9

    import soundfile

    recorded, rate = soundfile.read(record, dtype="float32")
    assert rate == RATE
    assert not list(record.parent.glob(".processed.wav.*"))  # no temporary left beside it
    # The recording starts before the signal came in.
    start = delay_of(played, recorded, longest=len(recorded))
    assert share_of_equal_blocks(played, recorded[start:], atol=1e-4) >= 0.9


def test_denoise_keeps_the_tone_and_lowers_the_noise(pulse, tmp_path):
    played = tone_in_noise(6.0, snr_noise=0.3)
    source, output, lines = run_live(pulse, tmp_path, played)
    summary = lines[-1]
    assert summary["state"] == "running" and summary["latency"] is not None, summary
    delay = delay_of(source, output)
    assert abs(delay - summary["latency"] * RATE) <= BLOCK, (delay, summary)

    def tone_to_noise_db(audio):
        # The last 3 s of the signal, past the suppressor's noise learning.
        spectrum = np.abs(np.fft.rfft(audio)) ** 2
        freqs = np.fft.rfftfreq(len(audio), 1 / RATE)
        tone = (freqs > 430) & (freqs < 450)
        return 10 * np.log10(spectrum[tone].sum() / spectrum[~tone & (freqs > 60)].sum())

    start = delay_of(played, source, longest=len(source))
    before = tone_to_noise_db(source[start + 3 * RATE:start + 6 * RATE])
    after = tone_to_noise_db(output[start + delay + 3 * RATE:start + delay + 6 * RATE])
    assert after > before + 6, (before, after)


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_stops_it_at_once_and_keeps_the_recordings(pulse, tmp_path, how):
    with live_in_studio(pulse, tmp_path, "--record", "out.flac", "--record-input", "in.wav") as live:
        status_line(live)
        lines = stop(live, how)
    assert lines[-1]["event"] == "summary"
    assert sorted(p.name for p in tmp_path.iterdir() if p.is_file()) == ["in.wav", "out.flac"]


def test_a_model_the_key_lacks_fails_in_one_line(pulse, tmp_path):
    child = subprocess.run(
        [sys.executable, "-m", "tavix", "live", "--input", "pulse", "--output", "pulse",
         "--model", "no-such-model", "--duration", "5", "--storage", str(tmp_path)],
        env=tavix_env(pulse.client_env(PULSE_SOURCE="in", PULSE_SINK="out")),
        capture_output=True, text=True, timeout=TIMEOUT)
    assert child.returncode == 1
    assert "tavix live: the stream failed: model 'no-such-model' refused" in child.stderr
    assert "Traceback" not in child.stderr


def test_list_devices_shows_the_pulse_device(pulse):
    child = subprocess.run([sys.executable, "-m", "tavix", "live", "--list-devices"],
                           env=tavix_env(pulse.client_env()), capture_output=True, text=True,
                           timeout=TIMEOUT)
    assert child.returncode == 0, child.stderr
    assert "pulse" in child.stdout


FAKE_SOUNDDEVICE = "raise OSError('PortAudio library not found')\n"


@pytest.mark.parametrize("missing, expected", [
    ("package", "live audio needs the sounddevice package: pip install 'tavix[live]'"),
    ("portaudio", "live audio needs the PortAudio library (PortAudio library not found): "
                  "install it (Debian: apt-get install libportaudio2)"),
])
def test_without_sounddevice_or_portaudio_one_line_says_what_to_install(tmp_path, missing,
                                                                          expected):
    if missing == "package":
        blocker = tmp_path / "sitecustomize.py"
        blocker.write_text("import sys\nsys.modules['sounddevice'] = None\n")
    else:
        (tmp_path / "sounddevice.py").write_text(FAKE_SOUNDDEVICE)
    env = tavix_env()
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), env["PYTHONPATH"]])
    for options in (["--list-devices"], ["--duration", "1", "--storage", str(tmp_path / "s")]):
        child = subprocess.run([sys.executable, "-m", "tavix", "live", *options], env=env,
                               capture_output=True, text=True, timeout=TIMEOUT)
        assert child.returncode == 1
        assert child.stderr == f"tavix live: {expected}\n"


@pytest.mark.parametrize("options, message", [
    (["--record", "{existing}"], "exists (pass --overwrite to replace it)"),
    (["--record", "{folder}/out.xyz"], "no audio format for the extension '.xyz'"),
    (["--record", "{folder}/a.wav", "--record-input", "{folder}/a.wav"], "name the same file"),
    (["--input", "no such device"], "No input device matching 'no such device'"),
    (["--block", "0"], "argument --block: '0' must be more than 0"),
    (["--channels", "3"], "argument --channels: invalid choice"),
])
def test_bad_options_are_refused_and_leave_files_alone(tmp_path, options, message):
    if portaudio_missing():
        pytest.skip(portaudio_missing())
    existing = tmp_path / "mine.wav"
    existing.write_bytes(b"my recording")
    options = [o.format(existing=existing, folder=tmp_path) for o in options]
    child = subprocess.run([sys.executable, "-m", "tavix", "live", "--storage",
                            str(tmp_path / "storage"), *options], env=tavix_env(),
                           capture_output=True, text=True, timeout=TIMEOUT)
    assert child.returncode in (1, 2)
    assert message in child.stderr and "Traceback" not in child.stderr, child.stderr
    assert existing.read_bytes() == b"my recording"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["mine.wav", "storage"] or \
        sorted(p.name for p in tmp_path.iterdir()) == ["mine.wav"]


def test_the_live_example_runs_on_the_default_devices(pulse, tmp_path):
    import soundfile

    played = tmp_path / "signal.wav"
    soundfile.write(played, tone_in_noise(8.0), RATE, subtype="FLOAT")
    player = subprocess.Popen(["paplay", "-d", "feed", str(played)], env=pulse.env)
    try:
        # The system's default devices: ALSA's `default`, PulseAudio here.
        child = subprocess.run(
            [sys.executable, str(EXAMPLES / "live.py"), str(tmp_path)], cwd=tmp_path,
            env=tavix_env(pulse.client_env(PULSE_SOURCE="in", PULSE_SINK="out")),
            capture_output=True, text=True, timeout=TIMEOUT)
    finally:
        player.kill()
        player.wait()
    assert child.returncode == 0, child.stderr
    assert re.search(r"running: in -\d+\.\d dBFS, out -\d+\.\d dBFS\n", child.stdout), child.stdout
    assert re.search(r"latency \d+\.\d ms, \d+ underflows", child.stdout), child.stdout
    recorded, rate = soundfile.read(tmp_path / "live.wav")
    assert rate == RATE and len(recorded) > 2 * RATE


@pytest.mark.parametrize("capacity, sizes", [(7, [3, 5, 1, 6, 2, 7]), (960, [256, 441, 1, 959, 512])])
def test_the_callback_rings_give_back_what_went_in_across_the_wrap(capacity, sizes):
    from tavix._ring import Ring

    def frames(start, count):  # each frame holds its own index, in both channels
        return np.repeat(np.arange(start, start + count, dtype=np.float32)[:, None], 2, axis=1)

    ring = Ring(capacity, 2)
    written = read = 0
    for step, size in enumerate(sizes * 6):
        if step % 2 == 0:
            fits = size <= ring.free()
            assert ring.write(frames(written, size)) == fits
            written += size if fits else 0
        else:
            out = np.full((size, 2), -1, np.float32)
            count = ring.read_into(out)
            assert count == min(size, written - read)
            assert np.array_equal(out[:count], frames(read, count))
            read += count
    assert read > 2 * capacity  # the wrap was crossed
