import threading

import pytest

import _tavix_module as m


@pytest.mark.parametrize("bad", [None, "storage", 5])
def test_create_sdk_refuses_non_init_params(bad):
    with pytest.raises(TypeError):
        m.create_sdk(bad)


def test_create_sdk_by_keyword_and_version(tmp_path):
    sdk = m.create_sdk(init_params=m.InitParams(str(tmp_path)))
    assert isinstance(sdk, m.Sdk)
    assert sdk.version.endswith("-substitute")  # the number: tests/test_version.py


@pytest.mark.parametrize("bad", [None, b"key", 1])
def test_activate_refuses_non_str(sdk, bad):
    with pytest.raises(TypeError):
        sdk.activate_api_key(bad)


def test_refused_activation_returns_result(sdk):
    result = sdk.activate_api_key("")
    assert isinstance(result, m.SdkResult)
    assert result.success is False
    assert result.error_type == m.SdkErrorType.NO_CREDENTIALS


def test_sdk_released_while_other_threads_use_it(tmp_path):
    """The last reference may go on any thread, while others run Python code."""
    stop = threading.Event()
    errors = []

    def busy():
        try:
            while not stop.is_set():
                m.create_sdk(m.InitParams(str(tmp_path / "other"))).activate_api_key("")
        except BaseException as error:  # pragma: no cover - reported below
            errors.append(error)

    def use_and_drop(sdk):
        for _ in range(20):
            sdk.activate_api_key("")

    workers = [threading.Thread(target=busy) for _ in range(2)]
    for worker in workers:
        worker.start()
    for _ in range(20):
        sdk = m.create_sdk(m.InitParams(str(tmp_path / "main")))
        user = threading.Thread(target=use_and_drop, args=(sdk,))
        user.start()
        del sdk  # the user thread may now hold the last reference
        user.join()
    stop.set()
    for worker in workers:
        worker.join()
    assert errors == []
