"""The Python helpers of scripts/: what they answer the shell, by exit
status and output, run as the scripts run them."""

import importlib.metadata
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

SCRIPTS = Path(__file__).resolve().parents[1] / "scripts"
if not SCRIPTS.is_dir():  # a copy of the tests alone (the emulated suite)
    pytest.skip("scripts/ is not beside the tests", allow_module_level=True)


def run(helper, *args, python=sys.executable):
    return subprocess.run([python, str(SCRIPTS / helper), *map(str, args)],
                          capture_output=True, timeout=60)


@pytest.fixture
def wheel(tmp_path):
    path = tmp_path / "tavix-1-cp312-abi3-linux_x86_64.whl"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("tavix/_lib/libTavixSdk.so.2", b"\x7fELF library")
        archive.writestr("tavix/_lib/notes.txt", b"beside it")
        archive.writestr("tavix/__init__.py", b"")
    return path


def test_wheel_member_copies_the_file_byte_for_byte(wheel):
    copied = run("wheel_member.py", wheel, "tavix/_lib/libTavixSdk.so.2")
    assert copied.returncode == 0 and copied.stdout == b"\x7fELF library"


@pytest.mark.parametrize("name, beside", [
    ("tavix/_lib/libTavixSdk.so", "in tavix/_lib: tavix/_lib/libTavixSdk.so.2, tavix/_lib/notes.txt"),
    ("tavix/missing/x.pyi", "in tavix/missing: nothing"),
    ("top.txt", "in its top: nothing"),
])
def test_a_missing_wheel_member_fails_naming_what_is_there(wheel, name, beside):
    missing = run("wheel_member.py", wheel, name)
    assert missing.returncode == 1 and missing.stdout == b""
    assert missing.stderr.decode() == f"error: {wheel} has no {name}; {beside}\n"


@pytest.mark.parametrize("args, status, output", [
    (["supported"], 0, ""),
    (["version"], 0, "{major}.{minor}\n"),
    (["installed", "pytest"], 0, ""),
    (["installed", "pytest", "no-such-distribution-tavix"], 1, ""),
    (["installed", f"pytest=={importlib.metadata.version('pytest')}"], 0, ""),
    (["installed", "pytest==0.0.1"], 1, ""),
    (["imports", "json", "zipfile"], 0, ""),
    (["imports", "json", "no_such_module_tavix"], 1, ""),
    (["no-such-question"], 2, ""),
])
def test_python_query_answers_by_exit_status_and_output(args, status, output):
    answer = run("python_query.py", *args)
    assert answer.returncode == status, answer.stderr
    major, minor = sys.version_info[:2]
    assert answer.stdout.decode() == output.format(major=major, minor=minor)

