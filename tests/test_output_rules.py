"""What may be written where: each rule refuses an output with one message,
the same through `tavix.process_file`, a live recording and the command
line, before anything is read or written."""

import errno
import os
from pathlib import Path

import pytest

import tavix
from cli_helpers import files, leftovers, noisy, tavix_cli
from tavix._output_rules import OutputRefusedError, output_format
from tavix._recorder import Recorder

NAME_MAX = 255

# name: (prepare the folder, the output, overwrite, exception, errno, message)
RULES = {
    "the input itself": (None, "in.wav", True, ValueError, None,
                         "the output in.wav is the input itself (the file being read)"),
    "a folder in its place": ("folder", "taken.wav", True, OutputRefusedError, errno.EISDIR,
                              "cannot write taken.wav: it is a folder"),
    "exists": ("file", "taken.wav", False, FileExistsError, errno.EEXIST,
               "taken.wav exists (pass --overwrite to replace it)"),
    "no format": (None, "out.xyz", True, ValueError, None,
                  "cannot write out.xyz: no audio format for the extension '.xyz' "
                  "(for example .wav, .flac, .ogg)"),
    "no folder": (None, "nowhere/out.wav", True, OutputRefusedError, errno.ENOENT,
                  "cannot write nowhere/out.wav: no folder nowhere"),
    "a file for a folder": ("file", "taken.wav/out.wav", True, OutputRefusedError, errno.ENOENT,
                            "cannot write taken.wav/out.wav: no folder taken.wav"),
    "name too long": (None, "n" * NAME_MAX + ".wav", True, OutputRefusedError, errno.ENAMETOOLONG,
                      f"cannot write {'n' * NAME_MAX}.wav: its name is too long (the file system "
                      f"takes {NAME_MAX} bytes at most)"),
}
#: What the command line refuses as a whole run before a file's turn comes
#: (an existing output, a folder given as -o), or what a recording has no
#: input for.
NOT_PER_FILE = {"cli": {"exists", "a folder in its place"}, "recorder": {"the input itself"}}


@pytest.fixture
def folder(tmp_path, monkeypatch):
    if os.pathconf(tmp_path, "PC_NAME_MAX") != NAME_MAX:
        pytest.skip(f"the file system of {tmp_path} takes names of another length")
    noisy(tmp_path / "in.wav", 16000, 1)
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("TAVIX_API_KEY", raising=False)
    return tmp_path


def prepared(folder, how):
    if how == "folder":
        (folder / "taken.wav").mkdir()
    elif how == "file":
        (folder / "taken.wav").write_bytes(b"keep me")


def refuse(entry, output, overwrite):
    if entry == "process_file":
        # No session and no key: a refusal that came after the session was
        # made would be an ActivationError instead.
        tavix.process_file("in.wav", output, model="passthrough", overwrite=overwrite, cloud=False)
    else:
        Recorder(output, 16000, 1, overwrite=overwrite)


@pytest.mark.parametrize("entry", ["process_file", "recorder"])
@pytest.mark.parametrize("rule", RULES)
def test_the_library_refuses_with_the_rules_message_and_errno(folder, entry, rule):
    how, output, overwrite, kind, code, message = RULES[rule]
    if rule in NOT_PER_FILE.get(entry, ()):
        pytest.skip(f"{rule}: not a rule of {entry}")
    prepared(folder, how)
    before = {name: (folder / name).read_bytes() for name in files(folder)}
    with pytest.raises(kind) as refused:
        refuse(entry, output, overwrite)
    assert str(refused.value) == message
    assert getattr(refused.value, "errno", None) == code
    assert {name: (folder / name).read_bytes() for name in files(folder)} == before


@pytest.mark.parametrize("rule", sorted(set(RULES) - NOT_PER_FILE["cli"]))
def test_the_command_line_refuses_a_file_with_the_same_message(folder, rule):
    how, output, overwrite, _, _, message = RULES[rule]
    prepared(folder, how)
    before = files(folder)
    child = tavix_cli(folder, "process", "in.wav", "-o", output, "--model", "passthrough",
                      "--local", *(["--overwrite"] if overwrite else []))
    assert child.returncode == 1
    assert child.stderr == f"tavix: in.wav: {message}\n"
    assert files(folder) == before and leftovers(folder) == []


def test_an_unwritable_folder_is_refused(folder):
    if os.geteuid() == 0:
        pytest.skip("root writes into any folder")
    (folder / "locked").mkdir(mode=0o500)
    with pytest.raises(OutputRefusedError, match=r"^cannot write locked/out.wav: permission denied$"):
        output_format(Path("locked/out.wav"), overwrite=True)


def test_an_output_that_appears_during_the_run_is_kept(folder, session):
    """Without overwrite, an output another writer puts in place while the
    run streams wins: the run refuses with the rule's message at the end
    and leaves no temporary file."""
    def another_writer(frames):
        Path("out.wav").write_bytes(b"theirs")

    with pytest.raises(FileExistsError) as refused:
        tavix.process_file("in.wav", "out.wav", session=session, model="passthrough",
                           overwrite=False, cloud=False, on_progress=another_writer)
    assert str(refused.value) == RULES["exists"][-1].replace("taken.wav", "out.wav")
    assert Path("out.wav").read_bytes() == b"theirs" and leftovers(folder) == []


@pytest.mark.parametrize("output, overwrite, expected", [
    ("out.flac", False, "FLAC"),
    ("in.wav.ogg", False, "OGG"),
    ("taken.wav", True, "WAV"),  # an existing output with overwrite
])
def test_a_writable_output_gets_the_format_of_its_extension(folder, output, overwrite, expected):
    prepared(folder, "file")
    assert output_format(Path(output), overwrite=overwrite, source=Path("in.wav")) == expected
