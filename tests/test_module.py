import enum
import subprocess
import sys
import textwrap

import pytest

import _tavix_module as m

PUBLIC_NAMES = [
    "TranscriptType", "PipelineState", "SdkErrorType", "_gil_selftest", "AudioFrame",
    "CloudInferencingParams", "AudioAttributes", "TranscriptSegment", "TranscriptData",
    "TextFrame", "LanguageTranslationConfig", "ProcessorAttributes", "SdkResult", "InitParams",
    "Sdk", "create_sdk", "AudioProcessor",
]


def test_module_attributes_and_registration_order():
    assert m.__doc__ == "Tavix SDK Python bindings"
    registered = [name for name in vars(m) if not name.startswith("__")]
    assert registered == PUBLIC_NAMES


@pytest.mark.parametrize("name, doc", [
    ("TranscriptType", "Kind of transcript carried by a TextFrame."),
    ("SdkResult", "Result of an SDK operation."),
    ("InitParams", "Initialization parameters for the core SDK."),
    ("Sdk", "Core Tavix SDK handle providing audio processing and user session management. "
            "Obtain via create_sdk."),
    ("create_sdk", "Create a Tavix SDK object from InitParams (blocking; initialises the engine)."),
])
def test_item_docstrings(name, doc):
    assert getattr(m, name).__doc__.splitlines()[-1] == doc


@pytest.mark.parametrize("cls", [m.Sdk, m.AudioProcessor])
def test_handles_have_no_python_constructor(cls):
    with pytest.raises(TypeError):
        cls()


def test_sub_interpreters_are_refused():
    code = textwrap.dedent("""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import _tavix_module")
        except Exception as error:  # 3.12 raises, 3.13 returns the failure
            failure = error
        print(failure)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "ImportError" in out and "subinterpreters" in out


class TestEnumerations:
    @pytest.mark.parametrize("enum_cls, size", [
        (m.TranscriptType, 2), (m.PipelineState, 4), (m.SdkErrorType, 23)])
    def test_int_enums_without_gaps(self, enum_cls, size):
        assert issubclass(enum_cls, enum.IntEnum)
        assert [int(member) for member in enum_cls] == list(range(size))
        assert enum_cls.__module__ == "_tavix_module"
        assert all(isinstance(member, int) for member in enum_cls)

    def test_lookup_str_repr_and_docs(self):
        assert m.PipelineState(2) is m.PipelineState.RUNNING is m.PipelineState["RUNNING"]
        assert str(m.PipelineState.RUNNING) == repr(m.PipelineState.RUNNING) == "PipelineState.RUNNING"
        assert m.PipelineState.TRYING.__doc__ == "Establishing the connection with the remote inference server."
        assert m.TranscriptType.TRANSLATION.__doc__ is None
        assert int(m.SdkErrorType.UNKNOWN_FAILURE) == 22
        with pytest.raises(ValueError):
            m.SdkErrorType(23)

    def test_members_are_not_exported_to_the_module(self):
        with pytest.raises(AttributeError):
            m.TRANSLATION


class TestInitParams:
    def test_storage_dir(self):
        assert m.InitParams().storage_dir == "./storage"
        assert m.InitParams("data").storage_dir == "data"
        assert m.InitParams(storage_dir="data").storage_dir == "data"
        params = m.InitParams()
        params.storage_dir = "élan/ß"
        assert params.storage_dir == "élan/ß"

    @pytest.mark.parametrize("bad", [None, 3, b"bytes"])
    def test_refuses_non_str(self, bad):
        with pytest.raises(TypeError):
            m.InitParams(bad)
        params = m.InitParams("keep")
        with pytest.raises(TypeError):
            params.storage_dir = bad
        assert params.storage_dir == "keep"

    def test_only_storage_dir_is_exposed(self):
        params = m.InitParams()
        for hidden in ("environment", "models_dir"):
            assert not hasattr(params, hidden)


class TestSdkResult:
    def test_defaults(self):
        result = m.SdkResult()
        assert (result.success, result.error_type, result.message) == (False, m.SdkErrorType.UNKNOWN_FAILURE, "")

    @pytest.mark.parametrize("field, value", [
        ("success", True), ("error_type", m.SdkErrorType.BAD_REQUEST), ("message", "x")])
    def test_read_only(self, field, value):
        with pytest.raises(AttributeError):
            setattr(m.SdkResult(), field, value)


def test_type_stubs_cover_every_name_and_member():
    """The installed stubs describe everything Python can reach, trailing
    underscore names (type_, transcript_data_, language_code_) included."""
    import ast
    from pathlib import Path

    # Installed: the stub-only package (PEP 561); a build tree: the loose file.
    here = Path(m.__file__).parent
    stub = next(path for path in (here / "_tavix_module-stubs" / "__init__.pyi",
                                  here / "_tavix_module.pyi") if path.exists())
    tree = ast.parse(stub.read_text())
    stubbed = {node.name: {item.name for item in getattr(node, "body", []) if isinstance(item, ast.FunctionDef)}
               for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    assert set(stubbed) == set(PUBLIC_NAMES)
    for name in PUBLIC_NAMES:
        obj = getattr(m, name)
        if not isinstance(obj, type) or issubclass(obj, enum.Enum):
            continue
        members = {attr for attr in vars(obj) if not attr.startswith("__")}
        assert members <= stubbed[name], (name, members - stubbed[name])
