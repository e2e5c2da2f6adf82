"""Activation, storage and start-up of the substitute SDK, seen through Python."""

import re
import threading
from pathlib import Path

import pytest

import _tavix_module as m
from api_keys import DEMO_KEY, make_api_key
from tavix._module_messages import NO_PROCESSOR

E = m.SdkErrorType


def make_sdk(monkeypatch, storage, **environment):
    """An SDK built with the given TAVIX_* variables in the environment (None: unset)."""
    for name, value in environment.items():
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    return m.create_sdk(m.InitParams(str(storage)))


def log_text(storage):
    return (Path(storage) / "logs" / "tavix.log").read_text()


def creation_field(storage, field):
    line = next(l for l in log_text(storage).splitlines() if " create_sdk " in l)
    match = re.search(field + r'=("(?:[^"\\]|\\.)*"|\S+)', line)
    value = match.group(1)
    return value[1:-1] if value.startswith('"') else value


def test_demo_key_activates_every_built_in_model(sdk):
    assert make_api_key("demo") == DEMO_KEY
    result = sdk.activate_api_key(DEMO_KEY)
    assert result.success is True
    assert "demo" in result.message
    for model in ("passthrough", "denoise", "translation"):
        assert model in result.message


@pytest.mark.parametrize("key, error", [
    ("", E.NO_CREDENTIALS),
    ("demo", E.BAD_REQUEST),
    ("tvx1-demo-all-never", E.BAD_REQUEST),
    ("tvx1-demo-all-never-13c5b659-x", E.BAD_REQUEST),
    ("tvx1-Demo-all-never-13c5b659", E.BAD_REQUEST),
    ("tvx1-demo-pass-through-never-13c5b659", E.BAD_REQUEST),
    ("tvx1-demo-all-20261341-13c5b659", E.BAD_REQUEST),
    ("tvx1-demo-all-never-13c5b65", E.BAD_REQUEST),
    (" " + DEMO_KEY, E.BAD_REQUEST),
    ("tvx2-demo-all-never-13c5b659", E.AUTHENTICATION_MECHANISM_MISMATCH),
    ("tvx1-demo-all-never-13c5b658", E.UNAUTHORIZED),
    ("tvx1-deno-all-never-13c5b659", E.UNAUTHORIZED),
    (make_api_key("ghost_42"), E.USER_NOT_FOUND),
    (make_api_key("disabled_bob"), E.USER_DISABLED),
    (make_api_key("alice", expiry="20200229"), E.TOKEN_EXPIRED),
    (make_api_key("alice", grant="karaoke"), E.INVALID_GRANT),
])
def test_refused_keys(sdk, key, error):
    result = sdk.activate_api_key(key)
    assert (result.success, result.error_type) == (False, error)
    assert result.message


@pytest.mark.parametrize("key", [
    "tvx1-demo-all-never-13C5B659",
    make_api_key("alice", grant="denoise+passthrough", expiry="29991231"),
    make_api_key("bob_7", grant="translation+unknown_model"),
])
def test_accepted_keys(sdk, key):
    assert sdk.activate_api_key(key).success


def test_unreachable_environment(tmp_path, monkeypatch):
    staging = make_sdk(monkeypatch, tmp_path / "s", TAVIX_ENVIRONMENT="staging")
    result = staging.activate_api_key(DEMO_KEY)
    assert (result.success, result.error_type) == (False, E.SERVER_UNREACHABLE)
    assert "staging" in result.message
    # A key of the wrong form is refused before the service is asked.
    assert staging.activate_api_key("").error_type == E.NO_CREDENTIALS
    assert make_sdk(monkeypatch, tmp_path / "d", TAVIX_ENVIRONMENT="dev").activate_api_key(DEMO_KEY).success


def test_one_user_at_a_time(sdk):
    assert sdk.activate_api_key(DEMO_KEY).success
    again = sdk.activate_api_key(DEMO_KEY)
    assert again.success and "already" in again.message
    other = sdk.activate_api_key(make_api_key("alice"))
    assert (other.success, other.error_type) == (False, E.SESSION_EXISTS)
    assert sdk.activate_api_key(make_api_key("demo", grant="passthrough")).success


def test_lock_out_after_repeated_unknown_keys(sdk):
    for _ in range(5):
        assert sdk.activate_api_key(DEMO_KEY[:-1] + "0").error_type == E.UNAUTHORIZED
    locked = sdk.activate_api_key(DEMO_KEY)
    assert (locked.success, locked.error_type) == (False, E.MAX_RETRIES_EXCEEDED)


def test_a_good_key_resets_the_count_of_unknown_keys(sdk):
    for _ in range(4):
        sdk.activate_api_key(DEMO_KEY[:-1] + "0")
    assert sdk.activate_api_key(DEMO_KEY).success
    for _ in range(4):
        sdk.activate_api_key(DEMO_KEY[:-1] + "0")
    assert sdk.activate_api_key(DEMO_KEY).success


def run_together(count, work):
    barrier = threading.Barrier(count)
    results = [None] * count

    def run(index):
        barrier.wait()
        results[index] = work(index)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def test_concurrent_activation_of_one_key(sdk):
    results = run_together(8, lambda _: sdk.activate_api_key(DEMO_KEY))
    assert all(result.success for result in results)


def test_concurrent_activation_of_different_users_admits_one(sdk):
    results = run_together(8, lambda i: sdk.activate_api_key(make_api_key(f"user{i}")))
    assert sum(result.success for result in results) == 1
    assert {r.error_type for r in results if not r.success} == {E.SESSION_EXISTS}


def test_storage_dir_and_log_are_created(tmp_path):
    storage = tmp_path / "a" / "b" / "storage"
    sdk = m.create_sdk(m.InitParams(str(storage)))
    sdk.activate_api_key("")
    lines = log_text(storage).splitlines()
    assert " create_sdk " in lines[0]
    assert re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ", lines[0])
    assert any("activate failure error_type=0" in line for line in lines)


def test_log_is_appended_by_later_sdk_objects(tmp_path):
    m.create_sdk(m.InitParams(str(tmp_path)))
    m.create_sdk(m.InitParams(str(tmp_path)))
    assert log_text(tmp_path).count(" create_sdk ") == 2


def test_unusable_storage_dir(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    with pytest.raises(RuntimeError, match=re.escape(str(blocker))):
        m.create_sdk(m.InitParams(str(blocker / "storage")))
    with pytest.raises(ValueError, match="storage_dir"):
        m.create_sdk(m.InitParams(""))


@pytest.mark.parametrize("value, name, code", [
    (None, "production", 3),
    ("", "production", 3),
    ("dev", "dev", 0),
    ("DeV", "dev", 0),
    ("STAGING", "staging", 1),
    ("Uat", "uat", 2),
    (" dev", "production", 3),
    ("dev ", "production", 3),
    ("devx", "production", 3),
    ("production", "production", 3),
])
def test_environment_variable(tmp_path, monkeypatch, value, name, code):
    make_sdk(monkeypatch, tmp_path, TAVIX_ENVIRONMENT=value)
    assert creation_field(tmp_path, "environment") == name
    assert creation_field(tmp_path, "environment_code") == str(code)


@pytest.mark.parametrize("value", [None, ""])
def test_models_dir_defaults_to_cwd_models(tmp_path, monkeypatch, value):
    monkeypatch.chdir(tmp_path)
    make_sdk(monkeypatch, tmp_path / "storage", TAVIX_MODELS_DIR=value)
    assert creation_field(tmp_path / "storage", "models_dir") == str(tmp_path / "models")


def test_models_dir_taken_verbatim(tmp_path, monkeypatch):
    make_sdk(monkeypatch, tmp_path, TAVIX_MODELS_DIR="relative dir/with \"quote\"")
    assert creation_field(tmp_path, "models_dir") == 'relative dir/with \\"quote\\"'


def test_environment_is_read_when_init_params_is_built(tmp_path, monkeypatch):
    monkeypatch.setenv("TAVIX_ENVIRONMENT", "uat")
    monkeypatch.setenv("TAVIX_MODELS_DIR", "/first")
    params = m.InitParams(str(tmp_path))
    monkeypatch.setenv("TAVIX_ENVIRONMENT", "dev")
    monkeypatch.setenv("TAVIX_MODELS_DIR", "/second")
    m.create_sdk(params)
    assert creation_field(tmp_path, "environment") == "uat"
    assert creation_field(tmp_path, "models_dir") == "/first"


def test_model_files_in_models_dir(tmp_path, monkeypatch):
    models = tmp_path / "models"
    models.mkdir()
    (models / "quiet_echo.tavixmodel").write_text("# a quieter copy\nengine = passthrough\ngain_db = -6\n")
    (models / "broken.tavixmodel").write_text("engine = karaoke\n")
    (models / "Bad-Name.tavixmodel").write_text("engine = denoise\n")
    (models / "notes.txt").write_text("engine = denoise\n")
    (models / "folder.tavixmodel").mkdir()
    storage = tmp_path / "storage"
    sdk = make_sdk(monkeypatch, storage, TAVIX_MODELS_DIR=str(models))
    assert sdk.activate_api_key(make_api_key("alice", grant="quiet_echo")).success
    log = log_text(storage)
    assert "model_loaded name=quiet_echo" in log
    assert "broken.tavixmodel" in log and "Bad-Name.tavixmodel" in log
    assert "notes" not in log and "folder" not in log
    without = make_sdk(monkeypatch, tmp_path / "other", TAVIX_MODELS_DIR=str(tmp_path / "nowhere"))
    refused = without.activate_api_key(make_api_key("alice", grant="quiet_echo"))
    assert refused.error_type == E.INVALID_GRANT


def processor_attributes(model):
    return m.ProcessorAttributes(m.AudioAttributes(16000, 1, model))


@pytest.mark.parametrize("key, model", [
    (None, "passthrough"),
    (make_api_key("alice", grant="passthrough"), "denoise"),
    (make_api_key("alice", grant="denoise"), "passthrough"),
    (DEMO_KEY, "karaoke"),
    (DEMO_KEY, ""),
])
def test_processor_refused_without_entitlement(tmp_path, key, model):
    sdk = m.create_sdk(m.InitParams(str(tmp_path)))
    if key:
        assert sdk.activate_api_key(key).success
    with pytest.raises(RuntimeError) as refused:
        sdk.create_audio_processor(processor_attributes(model))
    assert str(refused.value) == NO_PROCESSOR
    assert "create_audio_processor" in log_text(tmp_path).splitlines()[-1]


def test_translation_needs_its_entitlement(tmp_path):
    sdk = m.create_sdk(m.InitParams(str(tmp_path)))
    assert sdk.activate_api_key(make_api_key("alice", grant="passthrough")).success
    lt = m.LanguageTranslationConfig("en-US", "es-ES")
    with pytest.raises(RuntimeError, match="entitled"):
        sdk.create_audio_processor(m.ProcessorAttributes(m.AudioAttributes(), lt))
