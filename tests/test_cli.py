"""The `tavix` command line, run as users run it: a fresh interpreter
(`python -m tavix`) on generated WAV and FLAC files, judged by its exit
status, its output and the files it leaves."""

import fcntl
import json
import os
import re
import signal
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest

import tavix
from api_keys import DEMO_KEY, make_api_key
from tavix.cli import resolve_key

soundfile = pytest.importorskip("soundfile", reason="tavix[audio] is not installed")
from cli_helpers import SLOW_WRITER, dtmf, environment, files  # noqa: E402
from cli_helpers import json_lines, leftovers, noisy, started_writing, tavix_cli  # noqa: E402

# A mistyped demo key: well-formed, refused with UNAUTHORIZED.
MISTYPED_KEY = DEMO_KEY[:-1] + ("0" if DEMO_KEY[-1] != "0" else "1")


@pytest.mark.parametrize("name, rate, channels, subtype, model, output, out_subtype", [
    ("a.wav", 8000, 1, "PCM_16", "passthrough", None, "PCM_16"),
    ("b.flac", 48000, 2, "PCM_24", "passthrough", None, "PCM_24"),
    ("c.wav", 22050, 2, "FLOAT", "passthrough", "c.flac", "PCM_16"),  # FLAC has no float samples
    ("d.flac", 44100, 1, "PCM_24", "passthrough", "d-out.wav", "PCM_24"),
    ("e.wav", 16000, 2, "PCM_16", "denoise", None, "PCM_16"),
    ("f.flac", 32000, 1, "PCM_16", None, "f-clean.flac", "PCM_16"),
])
def test_process_keeps_rate_channels_length_and_subtype(tmp_path, name, rate, channels, subtype,
                                                       model, output, out_subtype):
    source = noisy(tmp_path / name, rate, channels, subtype=subtype)
    args = ["process", name, "--local"] + (["--model", model] if model else [])
    args += ["-o", output] if output else []
    child = tavix_cli(tmp_path, *args)
    assert child.returncode == 0, child.stderr
    assert child.stderr == ""  # not a terminal: no progress bar
    label = "denoised" if model in (None, "denoise") else model
    out = tmp_path / (output or f"{source.stem}.{label}{source.suffix}")
    info = soundfile.info(out)
    assert (info.samplerate, info.channels, info.frames, info.subtype) == (
        rate, channels, soundfile.info(source).frames, out_subtype)
    assert f"{name} -> {out.name}: 0.60 s, {rate} Hz {'mono' if channels == 1 else 'stereo'}" in child.stdout
    assert re.search(r"^total: 1 file, 0\.60 s of audio in [\d.]+ s", child.stdout, re.M)
    written, _ = soundfile.read(out, dtype="float32")
    original, _ = soundfile.read(source, dtype="float32")
    if model == "passthrough" and out_subtype == subtype:
        assert np.array_equal(written, original)
    elif model == "passthrough":  # to 16 bits: within rounding
        assert np.abs(written - original).max() <= 2 ** -16
    else:
        assert np.isfinite(written).all() and not np.array_equal(written, original)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("args, kinds, audio_out", [
    (["transcribe", "keys.wav", "--from", "en-US", "--to", "es-ES"],
     {"TRANSCRIPTION": ("en-US", "42"), "TRANSLATION": ("es-ES", "cuatro dos")}, None),
    (["transcribe", "keys.wav", "--from", "en-US"], {"TRANSCRIPTION": ("en-US", "42")}, None),
    (["process", "keys.wav", "--translate", "en-US:de-DE", "--pcm16"],
     {"TRANSCRIPTION": ("en-US", "42"), "TRANSLATION": ("de-DE", "vier zwei")}, "keys.translation.wav"),
])
def test_transcripts_as_text_and_as_json(tmp_path, args, kinds, audio_out):
    dtmf(tmp_path / "keys.wav", "42")

    text = tavix_cli(tmp_path, *args)  # the cloud path, the SDK's default
    assert text.returncode == 0, text.stderr
    lines = text.stdout.splitlines()
    finals = [line for line in lines if " final " in line]
    assert len(finals) == len(kinds)
    for kind, (language, words) in kinds.items():
        assert any(re.fullmatch(rf'keys\.wav: {kind} +{language} final +0\.10-0\.\d\d s "{words}"', line)
                   for line in finals), finals
    # Partial updates arrive, and print, before the final one.
    assert lines.index(finals[0]) > 0 and " partial " in lines[0]
    assert f", {len(kinds)} transcript" in lines[-2]
    assert (tmp_path / audio_out).exists() if audio_out else len(list(tmp_path.glob("keys*"))) == 1

    records = json_lines(tavix_cli(tmp_path, *args, "--json", *(["--overwrite"] if audio_out else [])).stdout)
    events = [record["event"] for record in records]
    assert events[-2:] == ["file", "total"] and set(events[:-2]) == {"transcript"}
    assert {r["kind"] for r in records[:-2]} == set(kinds)
    summary = records[-2]
    assert summary["ok"] and summary["output"] == audio_out and summary["frames"] == 19520
    assert {t["kind"]: (t["language"], t["text"]) for t in summary["transcripts"]} == kinds
    assert all(t["final"] and t["start"] == pytest.approx(0.1, abs=0.02) for t in summary["transcripts"])


def test_several_files_on_two_jobs(tmp_path):
    """Each file on its own stream, two at once: every output is complete, and
    the transcript lines of different files never run into each other."""
    names = [dtmf(tmp_path / "k1.wav", "123", 8000).name, dtmf(tmp_path / "k2.flac", "4#", 48000).name,
             noisy(tmp_path / "s.wav", 16000, 2).name, dtmf(tmp_path / "k3.flac", "9", 16000).name]
    child = tavix_cli(tmp_path, "process", *names, "-o", "out/sub", "--jobs", "2", "--local",
                      "--translate", "en-US:fr-FR", "--json")
    assert child.returncode == 0, child.stderr
    records = json_lines(child.stdout)  # a line broken by another file's would not parse
    files = [r for r in records if r["event"] == "file"]
    assert [r["input"] for r in files] == names and all(r["ok"] for r in files)
    for name in names:
        assert soundfile.info(tmp_path / "out/sub" / name).frames == soundfile.info(tmp_path / name).frames
        mine = [r for r in records if r["event"] == "transcript" and r["input"] == name]
        # In each file's own order: its final transcripts come last.
        assert all(r["final"] for r in mine[-2:]) and not any(r["final"] for r in mine[:-2])
    expected = {"k1.wav": "un deux trois", "k2.flac": "quatre dièse", "s.wav": None, "k3.flac": "neuf"}
    for record in files:
        texts = [t["text"] for t in record["transcripts"] if t["kind"] == "TRANSLATION"]
        assert texts == ([expected[record["input"]]] if expected[record["input"]] else [])
    assert records[-1]["files"] == 4 and records[-1]["failed"] == 0


def test_one_failed_file_does_not_stop_the_others(tmp_path):
    noisy(tmp_path / "good.wav", 16000, 1)
    noisy(tmp_path / "good2.flac", 8000, 2)
    (tmp_path / "notes.wav").write_text("not audio")
    child = tavix_cli(tmp_path, "process", "good.wav", "missing.wav", "notes.wav", "good2.flac",
                      "--model", "passthrough", "--local")
    assert child.returncode == 1
    assert child.stderr.splitlines() == [
        "tavix: missing.wav: no such file",
        "tavix: notes.wav: not an audio file soundfile reads (Format not recognised)"]
    assert (tmp_path / "good.passthrough.wav").exists() and (tmp_path / "good2.passthrough.flac").exists()
    assert "missing.wav -> missing.passthrough.wav: failed" in child.stdout
    assert "total: 4 files (2 failed)" in child.stdout


def alice_passthrough_only():
    return make_api_key("alice", grant="passthrough")


@pytest.mark.parametrize("prepare, args, env, message", [
    (None, ["process", "in.wav", "-o", "out.xyz"], {},
     "in.wav: cannot write out.xyz: no audio format for the extension '.xyz'"),
    (None, ["process", "in.wav", "-o", "nowhere/out.wav"], {}, "in.wav: cannot write nowhere/out.wav: no folder nowhere"),
    ("file", ["process", "in.wav", "-o", "taken.txt/out.wav"], {}, "cannot write taken.txt/out.wav: no folder taken.txt"),
    (None, ["process", "in.wav", "-o", "in.wav", "--overwrite"], {}, "in.wav: the output in.wav is the input itself"),
    (None, ["process", "in.wav"], {"TAVIX_API_KEY": alice_passthrough_only()},
     "in.wav: model 'denoise' refused: user 'alice' is not entitled to it ('tavix info' lists "
     "the key's models; the SDK's log: "),
    (None, ["process", "in.wav", "--model", "karaoke", "--local"], {}, "in.wav: model 'karaoke' refused"),
    (None, ["transcribe", "in.wav", "--from", "en-US", "--to", "xx-XX"], {},
     'tavix: --to "xx-XX" is not a supported language'),
    ("4k", ["process", "4k.wav", "--local"], {}, "4k.wav: sampling_rate 4000 Hz is not supported"),
])
def test_a_failing_file_gives_one_line_naming_it(tmp_path, prepare, args, env, message):
    noisy(tmp_path / "in.wav", 16000, 1)
    if prepare == "file":
        (tmp_path / "taken.txt").write_text("a file, not a folder")
    elif prepare == "exists":
        (tmp_path / "taken.wav").write_bytes(b"keep me")
    elif prepare == "4k":
        noisy(tmp_path / "4k.wav", 4000, 1)
    before = files(tmp_path)
    child = tavix_cli(tmp_path, *args, **env)
    assert child.returncode == 1
    assert len(child.stderr.splitlines()) == 1 and child.stderr.startswith("tavix: ")
    assert message in child.stderr
    assert files(tmp_path) == before  # nothing written, nothing removed
    if prepare == "exists":
        assert (tmp_path / "taken.wav").read_bytes() == b"keep me"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("args, env, error_type", [
    (["--api-key", MISTYPED_KEY], {}, "UNAUTHORIZED"),
    ([], {"TAVIX_API_KEY": MISTYPED_KEY}, "UNAUTHORIZED"),
    (["--api-key", ""], {"TAVIX_API_KEY": DEMO_KEY}, "NO_CREDENTIALS"),
    (["--api-key", make_api_key("alice", expiry="20200101")], {}, "TOKEN_EXPIRED"),
])
def test_a_refused_key_is_named_by_its_error_type_never_shown(tmp_path, args, env, error_type):
    noisy(tmp_path / "in.wav", 16000, 1)
    child = tavix_cli(tmp_path, "process", "in.wav", *args, **env)
    assert child.returncode == 1
    source = "--api-key" if args else "TAVIX_API_KEY"
    assert re.fullmatch(rf"tavix: activation refused: {error_type}: .*\(API key from {source}\)\n",
                        child.stderr)
    key = args[1] if args else env["TAVIX_API_KEY"]
    assert not key or key not in child.stdout + child.stderr
    assert not (tmp_path / "in.denoised.wav").exists()


@pytest.mark.parametrize("args, env, source, user", [
    ([], {}, "the substitute SDK's demo key", "demo"),
    ([], {"TAVIX_API_KEY": make_api_key("alice")}, "TAVIX_API_KEY", "alice"),
    (["--api-key", make_api_key("bob")], {"TAVIX_API_KEY": make_api_key("alice")}, "--api-key", "bob"),
])
def test_info_reports_versions_and_where_the_key_came_from(tmp_path, args, env, source, user):
    child = tavix_cli(tmp_path, "info", "--json", *args, **env)
    assert child.returncode == 0, child.stderr
    info = json.loads(child.stdout)
    assert info["package"] == tavix.__version__ and info["sdk"].endswith("-substitute")
    assert info["key_source"] == source and info["activated"]
    assert f"user '{user}'" in info["message"]
    for key in [*args[1:], *env.values(), DEMO_KEY]:
        assert key not in child.stdout


def test_info_text_and_version(tmp_path):
    refused = tavix_cli(tmp_path, "info", TAVIX_API_KEY=MISTYPED_KEY)
    assert refused.returncode == 1
    assert refused.stdout.splitlines()[:2] == [f"tavix {tavix.__version__}", f"SDK {tavix.__version__}-substitute"]
    assert "activation: refused: UNAUTHORIZED: " in refused.stdout and MISTYPED_KEY not in refused.stdout
    version = tavix_cli(tmp_path, "--version")
    assert (version.returncode, version.stdout) == (0, f"tavix {tavix.__version__}\n")


def test_only_the_substitute_sdk_falls_back_to_the_demo_key(monkeypatch):
    monkeypatch.delenv("TAVIX_API_KEY", raising=False)
    assert resolve_key(None, lambda: "2.0.1-substitute").value == DEMO_KEY
    assert resolve_key(None, lambda: "2.0.1").value == ""
    monkeypatch.setenv("TAVIX_API_KEY", "from-env")
    assert resolve_key(None, lambda: "2.0.1-substitute").value == "from-env"
    assert resolve_key("given", pytest.fail).value == "given"  # the SDK is not even asked


@pytest.mark.parametrize("args", [
    [],
    ["karaoke"],
    ["process"],
    ["process", "in.wav", "--jobs", "0"],
    ["process", "in.wav", "--jobs", "two"],
    ["process", "in.wav", "--translate", "en-US"],
    ["process", "in.wav", "--translate", "en-US:es-ES", "--model", "denoise"],
    ["process", "in.wav", "--local", "--cloud"],
    ["process", "in.wav", "in2.wav", "-o", "in.wav"],
    ["process", "in.wav", "in2.wav", "-o", "new.flac"],  # a file name, not a folder
    ["process", "in.wav", "./in.wav"],
    ["transcribe", "in.wav"],
    ["process", "in.wav", "--model", "a/b"],
    ["process", "in.wav", "--api-key", "key\udcff"],
    ["transcribe", "in.wav", "--from", "en-US", "--to", "es\udcff"],
    ["info", "--storage", "data\udcff"],
    ["demo", "--keys", "12X"],
    ["demo", "--rate", "fast"],
    ["demo", "--rate", "4000"],
    ["demo", "--rate", "2000000000"],
])
def test_usage_errors_exit_2_without_a_traceback(tmp_path, args):
    noisy(tmp_path / "in.wav", 16000, 1)
    child = tavix_cli(tmp_path, *args)
    assert child.returncode == 2
    assert "usage: tavix" in child.stderr and "Traceback" not in child.stderr
    assert sorted(set(os.listdir(tmp_path)) - {"cache"}) == ["in.wav"]  # no file, no folder


@pytest.mark.parametrize("command", [None, "process", "transcribe", "info", "demo"])
def test_help_is_plain_text_with_examples(tmp_path, command):
    child = tavix_cli(tmp_path, *([command] if command else []), "--help")
    assert child.returncode == 0
    assert re.search(r"^examples:\n  tavix ", child.stdout, re.M)
    assert "``" not in child.stdout and ":func:" not in child.stdout and ":meth:" not in child.stdout


@pytest.mark.parametrize("stop, status, message", [
    (signal.SIGINT, 130, "tavix: interrupted: "),
    (signal.SIGTERM, 143, "tavix: interrupted by SIGTERM: "),
    (signal.SIGHUP, 129, "tavix: interrupted by SIGHUP: "),
])
@pytest.mark.parametrize("args", [["a.wav"], ["a.wav", "b.flac", "-o", "out", "--jobs", "2"]])
def test_a_stopped_run_exits_128_plus_the_signal_and_leaves_no_output(tmp_path, args, stop, status,
                                                                      message):
    noisy(tmp_path / "a.wav", 8000, 1, seconds=20.0)
    noisy(tmp_path / "b.flac", 8000, 2, seconds=20.0)
    child = started_writing(tmp_path, SLOW_WRITER, "process", *args, "--local")
    try:
        child.send_signal(stop)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == status, err
    files_given = 1 if len(args) == 1 else 2
    assert err == (f"{message}0 of {files_given} file{'s' if files_given > 1 else ''} finished, their "
                   "outputs complete; no partial output is left (run again with --skip-existing to "
                   "do the rest)\n") and out == ""
    assert leftovers(tmp_path) == []
    assert files(tmp_path) == ["a.wav", "b.flac", "writing"]


def run_on_a_terminal(tmp_path, *args):
    """Runs the command with standard error on a pseudo-terminal; returns
    (exit status, standard output, what the terminal showed)."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    with os.fdopen(master, "rb", buffering=0) as terminal:
        child = subprocess.Popen([sys.executable, "-m", "tavix", *args], cwd=tmp_path,
                                 env=environment(tmp_path), stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                data = terminal.read(4096)
            except OSError:  # EIO: the child closed its end
                break
            if not data:
                break
            shown += data
        out = child.communicate(timeout=120)[0]
    return child.returncode, out.decode(), shown.decode(errors="replace")


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_only_on_a_terminal_and_not_with_quiet(tmp_path, quiet):
    pytest.importorskip("tqdm")
    noisy(tmp_path / "a.wav", 16000, 1, seconds=3.0)
    noisy(tmp_path / "b.wav", 16000, 1, seconds=3.0)
    status, out, shown = run_on_a_terminal(tmp_path, "process", "a.wav", "b.wav", "--local",
                                           *(["--quiet"] if quiet else []))
    assert status == 0
    if quiet:
        assert (shown, out) == ("", "")
    else:
        assert "6.0/6.0 s of audio" in shown and "2/2 files" in shown
        assert out.count("\n") == 3  # the summaries still go to standard output, unbroken
