"""The command line as people use it day to day: re-runs over the same
folder, pipes, folders of files. Each case runs `python -m tavix` in a child
on generated files."""

import re
import signal
import subprocess
import sys

import numpy as np
import pytest

soundfile = pytest.importorskip("soundfile", reason="tavix[audio] is not installed")
from api_keys import DEMO_KEY  # noqa: E402
from cli_helpers import SLOW_WRITER, dtmf, environment, files, json_lines, leftovers, noisy  # noqa: E402
from cli_helpers import started_writing, tavix_cli  # noqa: E402


def tavix_piped(tmp_path, stdin, *args):
    """The command line with `stdin` (bytes) on standard input, and its
    standard output as bytes."""
    return subprocess.run([sys.executable, "-m", "tavix", *args], cwd=tmp_path, input=stdin,
                          env=environment(tmp_path), capture_output=True, timeout=120)


def contents(folder):
    return {name: (folder / name).read_bytes() for name in files(folder)}


# --- Re-runs ---------------------------------------------------------------------

EVERY_WAV = ["a.passthrough.wav", "a.wav", "b.passthrough.wav", "b.wav"]  # what *.wav expands to


@pytest.fixture
def first_run(tmp_path):
    """A folder after `tavix process *.wav`: two inputs and their outputs."""
    for seed, name in enumerate(["a.wav", "b.wav"]):
        noisy(tmp_path / name, 16000, 1, seed=seed)
    child = tavix_cli(tmp_path, "process", "a.wav", "b.wav", "--model", "passthrough", "--local")
    assert child.returncode == 0, child.stderr
    return tmp_path


@pytest.mark.parametrize("inputs, refusal", [
    (EVERY_WAV, "2 outputs exist: a.passthrough.wav, b.passthrough.wav; pass --overwrite to replace "
                "them, or --skip-existing to leave them and process the rest"),
    (["a.wav"], "the output a.passthrough.wav exists; pass --overwrite to replace it, or "
                "--skip-existing to leave it and process the rest"),
])
def test_a_rerun_names_every_existing_output_before_any_work(first_run, inputs, refusal):
    before = contents(first_run)
    child = tavix_cli(first_run, "process", *inputs, "--model", "passthrough", "--local")
    assert child.returncode == 2 and refusal in child.stderr
    assert "is the input" not in child.stderr  # earlier outputs are not taken as inputs
    assert contents(first_run) == before


@pytest.mark.parametrize("option", ["--skip-existing", "--overwrite"])
def test_a_rerun_never_processes_earlier_outputs(first_run, option):
    noisy(first_run / "c.wav", 16000, 1, seed=2)  # new since the first run
    child = tavix_cli(first_run, "process", *EVERY_WAV, "c.wav", "--model", "passthrough", "--local",
                      option)
    assert child.returncode == 0, child.stderr
    notes = child.stderr.splitlines()
    assert "tavix: a.passthrough.wav: skipped (the output of a.wav)" in notes
    assert "tavix: b.passthrough.wav: skipped (the output of b.wav)" in notes
    skipped = ["tavix: a.wav: skipped (a.passthrough.wav exists)",
               "tavix: b.wav: skipped (b.passthrough.wav exists)"]
    assert all((line in notes) == (option == "--skip-existing") for line in skipped)
    assert files(first_run) == sorted(EVERY_WAV + ["c.passthrough.wav", "c.wav"])
    assert f"total: {1 if option == '--skip-existing' else 3} file" in child.stdout


# --- Standard input and output ----------------------------------------------------

@pytest.mark.parametrize("model", ["passthrough", "denoise"])
def test_standard_input_to_standard_output_equals_processing_the_file(tmp_path, model):
    source = noisy(tmp_path / "x.wav", 16000, 2)
    by_file = tavix_cli(tmp_path, "process", "x.wav", "-o", "by-file.wav", "--model", model, "--local")
    assert by_file.returncode == 0, by_file.stderr
    # cat x.wav | tavix process - -o - | ...
    piped = tavix_piped(tmp_path, source.read_bytes(), "process", "-", "-o", "-", "--model", model,
                        "--local")
    assert piped.returncode == 0, piped.stderr
    (tmp_path / "piped.wav").write_bytes(piped.stdout)
    expected, rate = soundfile.read(tmp_path / "by-file.wav", dtype="int16")
    got, got_rate = soundfile.read(tmp_path / "piped.wav", dtype="int16")
    assert got_rate == rate and np.array_equal(got, expected)
    assert b"- -> -: 0.60 s, 16000 Hz stereo" in piped.stderr  # the summary stays off the audio
    assert files(tmp_path) == ["by-file.wav", "piped.wav", "x.wav"]


def test_raw_samples_in_and_a_named_format_out(tmp_path):
    audio = (np.random.default_rng(0).uniform(-0.5, 0.5, (8000, 3)) * 32767).astype("<i2")
    piped = tavix_piped(tmp_path, audio.tobytes(), "process", "-", "--raw", "8000:3:PCM_16",
                        "-o", "-", "--format", "flac", "--model", "passthrough", "--local")
    assert piped.returncode == 0, piped.stderr
    (tmp_path / "out.flac").write_bytes(piped.stdout)
    written, rate = soundfile.read(tmp_path / "out.flac", dtype="int16")
    assert rate == 8000 and np.array_equal(written, audio)


@pytest.mark.parametrize("args, message", [
    (["-", "x.wav"], "- (standard input) must be the only input"),
    (["x.wav", "y.wav", "-o", "-"], "-o - (standard output) takes one input"),
    (["-", "--raw", "8000:1"], "'8000:1' is not RATE:CHANNELS:SUBTYPE"),
    (["-", "--raw", "8000:1:MP3"], "MP3 is not a raw subtype"),
    (["x.wav", "-o", "-", "--format", "txt"], "'txt' is not an audio format to write"),
    (["-", "-o", "out.wav", "--cluster", "local:1"], "--cluster takes files and folders: - (a pipe)"),
])
def test_pipes_given_wrongly_are_usage_errors(tmp_path, args, message):
    noisy(tmp_path / "x.wav", 16000, 1)
    noisy(tmp_path / "y.wav", 16000, 1)
    child = tavix_piped(tmp_path, b"", "process", *args, "--local")
    assert child.returncode == 2 and message in child.stderr.decode()
    assert child.stdout == b"" and files(tmp_path) == ["x.wav", "y.wav"]


def test_standard_input_that_is_not_audio_fails_in_one_line(tmp_path):
    child = tavix_piped(tmp_path, b"not audio at all", "process", "-", "-o", "out.wav", "--local")
    assert child.returncode == 1
    assert child.stderr.decode().startswith("tavix: -: not an audio file soundfile reads")
    assert files(tmp_path) == []


# --- Folders -----------------------------------------------------------------------

@pytest.mark.parametrize("recursive", [False, True])
def test_a_folder_in_keeps_its_layout_under_the_output_folder(tmp_path, recursive):
    (tmp_path / "in" / "deeper" / "still").mkdir(parents=True)
    noisy(tmp_path / "in" / "a.wav", 16000, 1)
    noisy(tmp_path / "in" / "deeper" / "still" / "b.flac", 8000, 2)
    (tmp_path / "in" / "notes.txt").write_text("not audio")
    (tmp_path / "in" / "deeper" / "cover.jpg").write_bytes(b"\xff\xd8 not audio either")
    args = ["process", "in", "-o", "out", "--model", "passthrough", "--local"]
    child = tavix_cli(tmp_path, *args, *(["--recursive"] if recursive else []))
    assert child.returncode == 0, child.stderr
    made = [name for name in files(tmp_path) if name.startswith("out/")]
    assert made == (["out/a.wav", "out/deeper/still/b.flac"] if recursive else ["out/a.wav"])
    not_audio = "in/notes.txt, in/deeper/cover.jpg" if recursive else "in/notes.txt"
    assert child.stderr == f"tavix: skipped, not audio: {not_audio}\n"
    if recursive:
        assert np.array_equal(soundfile.read(tmp_path / "out/deeper/still/b.flac")[0],
                              soundfile.read(tmp_path / "in/deeper/still/b.flac")[0])
    # Run again with the outputs inside the folder: they are not inputs.
    again = tavix_cli(tmp_path, "process", "in", "--model", "passthrough", "--local", "--recursive")
    assert again.returncode == 0, again.stderr
    rerun = tavix_cli(tmp_path, "process", "in", "--model", "passthrough", "--local", "--recursive",
                      "--skip-existing")
    assert rerun.returncode == 0 and "a.passthrough.wav: skipped (the output of" in rerun.stderr
    assert leftovers(tmp_path) == []


def test_a_folder_without_audio_is_a_usage_error(tmp_path):
    (tmp_path / "empty" / "sub").mkdir(parents=True)
    noisy(tmp_path / "empty" / "sub" / "a.wav", 16000, 1)
    child = tavix_cli(tmp_path, "process", "empty", "--local")
    assert child.returncode == 2
    assert "no audio files in empty (--recursive looks in subfolders too)" in child.stderr


# --- Any channel count ---------------------------------------------------------------

@pytest.mark.parametrize("channels", [3, 4, 6])
def test_files_of_any_channel_count_are_processed_channel_by_channel(tmp_path, channels):
    rate = 16000
    clean = np.sin(2 * np.pi * 440 * np.arange(rate) / rate)
    noise = np.random.default_rng(channels).normal(0, 0.1, (rate, channels))
    gaps = np.arange(rate) % 4000 < 2000  # tone and pauses of noise alone, on every channel
    audio = (0.3 * clean * gaps)[:, None] + noise
    soundfile.write(tmp_path / "many.wav", audio, rate, subtype="FLOAT")
    for model in ("passthrough", "denoise"):
        child = tavix_cli(tmp_path, "process", "many.wav", "--model", model, "--local")
        assert child.returncode == 0, child.stderr
        assert f"{rate} Hz {channels} channels" in child.stdout
    original, _ = soundfile.read(tmp_path / "many.wav", dtype="float32")
    passed, _ = soundfile.read(tmp_path / "many.passthrough.wav", dtype="float32")
    assert np.array_equal(passed, original)  # every channel, bit for bit and in line
    denoised, _ = soundfile.read(tmp_path / "many.denoised.wav", dtype="float32")
    assert denoised.shape == original.shape
    pauses = ~gaps
    pauses[:4000] = False  # the model's first second adapts
    reduction_db = 20 * np.log10(np.std(original[pauses], 0) / np.std(denoised[pauses], 0))
    assert (reduction_db > 6).all(), reduction_db


# --- Answers that say what to do ---------------------------------------------------------

@pytest.mark.parametrize("keys, hinted", [(None, True), ("42", False)])
def test_no_transcripts_from_the_substitute_says_what_it_hears(tmp_path, keys, hinted):
    if keys is None:
        noisy(tmp_path / "in.wav", 16000, 1)  # no keys in it, as in speech
    else:
        dtmf(tmp_path / "in.wav", keys)
    child = tavix_cli(tmp_path, "transcribe", "in.wav", "--from", "en-US", "--local")
    assert child.returncode == 0, child.stderr
    hint = ("tavix: no transcripts: the substitute SDK (sdk/) hears only DTMF keys (0-9, A-D, * and #), "
            "not speech; 'tavix demo' shows what it transcribes\n")
    assert child.stderr == (hint if hinted else "")


def test_a_model_file_the_sdk_refuses_is_named_with_the_reason_it_logged(tmp_path):
    noisy(tmp_path / "in.wav", 16000, 1)
    (tmp_path / "models").mkdir()
    (tmp_path / "models" / "broken.tavixmodel").write_text("")
    child = tavix_cli(tmp_path, "process", "in.wav", "--model", "broken", "--local",
                      "--storage", "storage")
    assert child.returncode == 1
    assert re.fullmatch(r"tavix: in.wav: model 'broken' refused: the SDK did not load \S*"
                        r"models/broken.tavixmodel: it names no engine \(the SDK's log: "
                        r"storage/logs/tavix.log\)\n", child.stderr)


def test_a_language_the_sdk_refuses_is_said_once_naming_the_option(tmp_path):
    for name in ("a.wav", "b.wav", "c.wav"):
        dtmf(tmp_path / name, "1")
    child = tavix_cli(tmp_path, "transcribe", "a.wav", "b.wav", "c.wav", "--from", "en-US",
                      "--to", "xx-XX", "--local", "--jobs", "2")
    assert child.returncode == 1
    assert child.stderr.startswith('tavix: --to "xx-XX" is not a supported language')
    assert len(child.stderr.splitlines()) == 1


def test_a_refused_key_is_in_the_json_lines_too(tmp_path):
    noisy(tmp_path / "in.wav", 16000, 1)
    child = tavix_cli(tmp_path, "process", "in.wav", "--json", "--api-key", DEMO_KEY[:-1] + "x")
    assert child.returncode == 1
    [record] = json_lines(child.stdout)
    assert record["event"] == "activation" and record["ok"] is False
    assert record["key_source"] == "--api-key" and record["error_type"]


def test_an_interrupted_run_says_how_many_files_finished(tmp_path):
    noisy(tmp_path / "a.wav", 8000, 1, seconds=0.5)
    noisy(tmp_path / "b.wav", 8000, 1, seconds=20.0)
    child = started_writing(tmp_path, SLOW_WRITER, "process", "a.wav", "b.wav", "--jobs", "1",
                            "--local")
    try:
        child.send_signal(signal.SIGTERM)
        _, err = child.communicate(timeout=60)  # only detects a hang
    finally:
        child.kill()
    assert child.returncode == 143, err
    said = re.search(r"^tavix: interrupted by SIGTERM: (\d) of 2 files finished, their outputs "
                     r"complete; no partial output is left \(run again with --skip-existing to do "
                     r"the rest\)$", err, re.M)
    assert said, err
    finished = [name for name in files(tmp_path) if ".denoised." in name]
    assert int(said[1]) == len(finished) and leftovers(tmp_path) == []


def test_the_demo_leaves_the_current_folder_as_it_was(tmp_path):
    (tmp_path / "temporary").mkdir()
    child = tavix_cli(tmp_path, "demo", "--keys", "1", TMPDIR=str(tmp_path / "temporary"))
    assert child.returncode == 0, child.stderr
    where = re.search(r"^writing into (\S+)$", child.stdout, re.M)
    assert where and where[1].startswith(str(tmp_path / "temporary" / "tavix-demo-"))
    assert sorted(p.name for p in (tmp_path / where[1]).iterdir()) == ["denoised.wav", "input.wav"]
    assert "activation: ok: " in child.stdout and "success=" not in child.stdout
    assert [name for name in files(tmp_path) if not name.startswith("temporary/")] == []
