"""The command line under faults a careless user or an odd file brings: a
full disk, outputs that are inputs, pipes and devices as inputs, signals
and stuck IO, file names that are not UTF-8 or very long, closed standard
output, codecs that cannot be written back. Each is run as a user would (a
child `python -m tavix`, with a timeout where it could hang) and judged by
what is left on disk and what is said."""

import os
import re
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

soundfile = pytest.importorskip("soundfile", reason="tavix[audio] is not installed")
from cli_helpers import SLOW_WRITER, environment, files, json_lines  # noqa: E402
from cli_helpers import leftovers, noisy, started_writing, tavix_cli  # noqa: E402


def tavix_cli_bytes(tmp_path, *args, stdout=subprocess.PIPE, **env):
    """As `tavix_cli`, with the output as bytes (file names that are not
    UTF-8 print as their bytes)."""
    return subprocess.run([sys.executable, "-m", "tavix", *args], cwd=tmp_path,
                          env=environment(tmp_path, **env), stdout=stdout,
                          stderr=subprocess.PIPE, timeout=120)


# --- A full disk -----------------------------------------------------------

@pytest.fixture
def small_disk(tmp_path):
    """A 384 KiB tmpfs at tmp_path/full, unmounted afterwards."""
    mount_point = tmp_path / "full"
    mount_point.mkdir()
    # mount is no part of what is tested: not under the sanitizers' runtime.
    plain = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=384k", "tmpfs", str(mount_point)],
                                 capture_output=True, text=True, env=plain, timeout=60)
    except FileNotFoundError:
        pytest.skip("cannot mount a small tmpfs here: no mount command")
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip() or 'not permitted'}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False, env=plain, timeout=60)


def fill(folder, leave_pages):
    """Fills `folder`'s file system but for `leave_pages` pages."""
    stats = os.statvfs(folder)
    with open(folder / "filler", "wb") as filler:
        filler.write(bytes((stats.f_bavail - leave_pages) * stats.f_frsize))


@pytest.mark.parametrize("suffix", [".ogg", ".wav", ".flac", ".aiff", ".caf", ".mp3"])
@pytest.mark.parametrize("leave_pages", [0, 4])
@pytest.mark.parametrize("existing", [False, True])
def test_a_full_disk_fails_naming_it_and_keeps_the_existing_output(tmp_path, small_disk, suffix,
                                                                    leave_pages, existing):
    noisy(tmp_path / "in.wav", 48000, 2, seconds=10.0)
    output = small_disk / f"out{suffix}"
    if existing:
        noisy(output, 8000, 1, seconds=0.5, seed=3)
    kept = output.read_bytes() if existing else None
    fill(small_disk, leave_pages)
    child = tavix_cli(tmp_path, "process", "in.wav", "-o", output.relative_to(tmp_path),
                      "--model", "passthrough", "--local", "--overwrite")
    assert child.returncode == 1
    assert child.stderr == f"tavix: in.wav: cannot write full/out{suffix}: no space left on device\n"
    assert sorted(os.listdir(small_disk)) == (["filler", output.name] if existing else ["filler"])
    if existing:
        assert output.read_bytes() == kept


LOSSY_ENCODER = textwrap.dedent("""
    import sys
    import soundfile
    from tavix.cli import main

    # An encoder that loses its last block without a word, as libsndfile's
    # Ogg encoder can when the disk fills while it flushes.
    write = soundfile.SoundFile.write
    blocks = []
    def write_all_but_the_last(self, data):
        if blocks:
            write(self, blocks.pop())
        blocks.append(data)
    soundfile.SoundFile.write = write_all_but_the_last
    sys.exit(main(sys.argv[1:]))
""")


def test_frames_lost_by_the_encoder_fail_the_file_and_keep_the_existing_output(tmp_path):
    noisy(tmp_path / "in.wav", 16000, 1, seconds=2.0)
    (tmp_path / "out.ogg").write_bytes(b"the good old output")
    child = subprocess.run([sys.executable, "-c", LOSSY_ENCODER, "process", "in.wav", "-o", "out.ogg",
                            "--overwrite", "--model", "passthrough", "--local"], cwd=tmp_path,
                           env=environment(tmp_path), capture_output=True, text=True, timeout=120)
    assert child.returncode == 1
    assert re.fullmatch(r"tavix: in.wav: cannot write out.ogg: only \d+ of 32000 frames reached "
                        r"the file\n", child.stderr)
    assert (tmp_path / "out.ogg").read_bytes() == b"the good old output"
    assert leftovers(tmp_path) == []


# --- Outputs that are inputs --------------------------------------------------

@pytest.mark.parametrize("args, link", [
    (["x.wav", "other.wav"], "hard"),  # other.wav is x.denoised.wav under another name
    (["x.wav", "other.wav"], "symbolic"),
    (["x.wav", "link/x.denoised.wav"], "folder"),  # link/ is this folder
])
def test_an_output_that_is_another_input_is_a_usage_error(tmp_path, args, link):
    noisy(tmp_path / "x.wav", 16000, 1)
    noisy(tmp_path / "x.denoised.wav", 16000, 1, seed=1)
    if link == "hard":
        os.link(tmp_path / "x.denoised.wav", tmp_path / "other.wav")
    elif link == "symbolic":
        os.symlink("x.denoised.wav", tmp_path / "other.wav")
    elif link == "folder":
        os.symlink(".", tmp_path / "link")
    before = {name: (tmp_path / name).read_bytes() for name in files(tmp_path)}
    child = tavix_cli(tmp_path, "process", *args, "--overwrite", "--jobs", "1", "--local")
    assert child.returncode == 2
    assert "usage: tavix" in child.stderr and "is the input" in child.stderr
    assert {name: (tmp_path / name).read_bytes() for name in files(tmp_path)} == before


@pytest.mark.parametrize("output, made", [("new.flac/", "new.flac"), ("taken.flac", "taken.flac")])
def test_an_output_folder_may_look_like_a_file_when_it_says_so(tmp_path, output, made):
    noisy(tmp_path / "a.wav", 16000, 1)
    noisy(tmp_path / "b.wav", 16000, 1)
    (tmp_path / "taken.flac").mkdir()
    child = tavix_cli(tmp_path, "process", "a.wav", "b.wav", "-o", output, "--local")
    assert child.returncode == 0, child.stderr
    assert sorted(os.listdir(tmp_path / made)) == ["a.wav", "b.wav"]


# --- Inputs that are not files ------------------------------------------------

@pytest.mark.parametrize("kind", ["fifo", "device"])
def test_a_pipe_or_device_input_is_refused_and_the_others_processed(tmp_path, kind):
    noisy(tmp_path / "good.wav", 16000, 1)
    if kind == "fifo":
        os.mkfifo(tmp_path / "odd.wav")
    else:
        os.symlink("/dev/zero", tmp_path / "odd.wav")
    child = tavix_cli(tmp_path, "process", "odd.wav", "good.wav", "--local")
    assert child.returncode == 1
    assert child.stderr == ("tavix: odd.wav: not a regular file (a pipe or a device): "
                            "save the audio to a file first\n")
    assert (tmp_path / "good.denoised.wav").exists() and leftovers(tmp_path) == []


# --- Signals and stuck IO ------------------------------------------------------

STUCK_WRITER = textwrap.dedent("""
    import os, pathlib, signal, sys
    import soundfile, tavix._cli_batch
    from tavix.cli import main

    signal.signal(signal.SIGINT, signal.default_int_handler)
    tavix._cli_batch.STOP_GRACE_SECONDS = 0.5
    # The writer of stuck.wav's output hangs in a read that never returns
    # (a dead network mount, say), after its first block.
    never, _ = os.pipe()
    write = soundfile.SoundFile.write
    def stuck_write(self, data):
        write(self, data)
        if b"stuck" in os.fsencode(self.name):
            pathlib.Path("writing").touch()
            os.read(never, 1)
    soundfile.SoundFile.write = stuck_write
    sys.exit(main(sys.argv[1:]))
""")


@pytest.mark.parametrize("stop, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_worker_stuck_in_io_does_not_hold_up_a_stop(tmp_path, stop, status):
    noisy(tmp_path / "stuck.wav", 8000, 1, seconds=5.0)
    child = started_writing(tmp_path, STUCK_WRITER, "process", "stuck.wav", "--local")
    assert leftovers(tmp_path)  # its partial output, for the stop to remove
    try:
        child.send_signal(stop)
        out, err = child.communicate(timeout=60)  # only detects a hang
    finally:
        child.kill()
    assert child.returncode == status, err
    assert err.splitlines()[-1].startswith("tavix: interrupted") and "Traceback" not in err
    assert leftovers(tmp_path) == []
    assert files(tmp_path) == ["stuck.wav", "writing"]


def test_what_a_killed_run_left_does_not_stay_after_the_next_run(tmp_path):
    noisy(tmp_path / "a.wav", 8000, 1, seconds=5.0)
    child = started_writing(tmp_path, SLOW_WRITER, "process", "a.wav", "--local")
    child.kill()
    child.communicate(timeout=60)
    assert len(leftovers(tmp_path)) == 1  # what SIGKILL leaves, and nothing can clean up
    again = tavix_cli(tmp_path, "process", "a.wav", "--local")
    assert again.returncode == 0, again.stderr
    assert leftovers(tmp_path) == [] and (tmp_path / "a.denoised.wav").exists()


# --- File names ------------------------------------------------------------------

def test_a_name_that_is_not_utf8_is_processed_and_its_json_is_valid(tmp_path):
    name = os.fsdecode(b"bad\xff.wav")
    noisy(os.fsencode(tmp_path / name), 16000, 1)
    plain = tavix_cli_bytes(tmp_path, "process", name, "--local", LC_ALL="C.UTF-8")
    assert plain.returncode == 0, plain.stderr
    assert b"bad\xff.wav -> bad\xff.denoised.wav: 0.60 s" in plain.stdout
    (tmp_path / os.fsdecode(b"bad\xff.denoised.wav")).unlink()
    as_json = tavix_cli_bytes(tmp_path, "process", name, "--local", "--json", LC_ALL="C.UTF-8")
    assert as_json.returncode == 0, as_json.stderr
    records = json_lines(as_json.stdout.decode("ascii"))
    assert records[0]["input"] == name and records[0]["output"] == os.fsdecode(b"bad\xff.denoised.wav")
    assert (tmp_path / os.fsdecode(b"bad\xff.denoised.wav")).exists()


def test_a_long_name_works_whenever_its_output_name_fits(tmp_path):
    name_max = os.pathconf(tmp_path, "PC_NAME_MAX")
    stem = "n" * (name_max - len(".denoised.wav"))  # the output's name is as long as names get
    noisy(tmp_path / f"{stem}.wav", 16000, 1)
    child = tavix_cli(tmp_path, "process", f"{stem}.wav", "--local")
    assert child.returncode == 0, child.stderr
    assert (tmp_path / f"{stem}.denoised.wav").exists() and leftovers(tmp_path) == []
    too_long = tavix_cli(tmp_path, "process", f"{stem}.wav", "-o", f"{stem}x.denoised.wav", "--local")
    assert too_long.returncode == 1
    assert too_long.stderr == (f"tavix: {stem}.wav: cannot write {stem}x.denoised.wav: its name is "
                               f"too long (the file system takes {name_max} bytes at most)\n")


# --- Codecs --------------------------------------------------------------------------

@pytest.mark.parametrize("name, subtype, output, out_subtype", [
    ("gsm.wav", "GSM610", None, "GSM610"),  # cannot seek: read to the end
    ("gsm.wav", "GSM610", "gsm.flac", "PCM_16"),
    ("g721.wav", "G721_32", "g721.ogg", "VORBIS"),
    ("in.mp3", "MPEG_LAYER_III", "out.wav", "PCM_16"),  # WAV cannot hold MP3 samples
    ("in.mp3", "MPEG_LAYER_III", None, "MPEG_LAYER_III"),
    ("float.wav", "FLOAT", "float.aiff", "FLOAT"),
])
def test_inputs_in_any_codec_soundfile_reads(tmp_path, name, subtype, output, out_subtype):
    noisy(tmp_path / name, 8000, 1, subtype=subtype)
    child = tavix_cli(tmp_path, "process", name, *(["-o", output] if output else []),
                      "--model", "passthrough", "--local")
    assert child.returncode == 0, child.stderr
    written = tmp_path / (output or f"{Path(name).stem}.passthrough{Path(name).suffix}")
    read, _ = soundfile.read(tmp_path / name, dtype="float32")
    info = soundfile.info(written)
    assert info.subtype == out_subtype and info.frames >= len(read)
    assert leftovers(tmp_path) == []


# --- Standard output that goes away ----------------------------------------------------

@pytest.mark.parametrize("args", [["info"], ["process", "in.wav", "--local"], ["--help"]])
@pytest.mark.parametrize("where", ["closed pipe", "/dev/full"])
def test_standard_output_going_away_is_not_a_failure(tmp_path, args, where):
    noisy(tmp_path / "in.wav", 16000, 1)
    if where == "closed pipe":
        reader, writer = os.pipe()
        os.close(reader)  # every write gets EPIPE: `tavix info | true`
        try:
            child = tavix_cli_bytes(tmp_path, *args, stdout=writer)
        finally:
            os.close(writer)
        expected = b""
    else:
        with open("/dev/full", "wb") as full:
            child = tavix_cli_bytes(tmp_path, *args, stdout=full)
        expected = (b"tavix: standard output: No space left on device; "
                    b"the rest of it is dropped\n")
    assert (child.returncode, child.stderr) == (0, expected)
    if "process" in args:
        assert (tmp_path / "in.denoised.wav").exists()


# --- The demo ------------------------------------------------------------------------

@pytest.mark.parametrize("rate", [11025, 22050])
def test_the_demo_runs_at_rates_50_does_not_divide(tmp_path, rate):
    child = tavix_cli(tmp_path, "demo", "--rate", rate, "--storage", "storage", "--out", "out")
    assert child.returncode == 0, child.stderr
    assert soundfile.info(tmp_path / "out" / "denoised.wav").samplerate == rate
