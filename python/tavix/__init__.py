"""Python interface to the Tavix audio SDK.

Start with :class:`Session` (activates the SDK) and :meth:`Session.stream`
(audio of any block length through a model, transcripts in a queue), or
:meth:`Session.process` and :func:`process_file` for whole signals and
files. The native extension's classes are re-exported (``tavix.AudioFrame``
and so on) for direct use of the SDK; ``python -m tavix`` is the command
line."""

import _tavix_module
from _tavix_module import (
    AudioAttributes,
    AudioFrame,
    AudioProcessor,
    CloudInferencingParams,
    InitParams,
    LanguageTranslationConfig,
    PipelineState,
    ProcessorAttributes,
    Sdk,
    SdkErrorType,
    SdkResult,
    TextFrame,
    TranscriptData,
    TranscriptSegment,
    TranscriptType,
    create_sdk,
)
from tavix.audio import FileSummary, RawFormat, process_file, read_audio, write_audio
from tavix.session import ActivationError, Session, StreamOptions, default_storage_dir
from tavix.stream import ModelRefusedError, Stream
from tavix.transcripts import Transcript, TranscriptQueue

#: The version of the package (and of the extension it ships with).
__version__: str = str(getattr(_tavix_module, "__version__"))

__all__ = [
    # the library
    "ActivationError",
    "FileSummary",
    "ModelRefusedError",
    "RawFormat",
    "Session",
    "Stream",
    "StreamOptions",
    "Transcript",
    "TranscriptQueue",
    "default_storage_dir",
    "process_file",
    "read_audio",
    "write_audio",
    # the extension
    "AudioAttributes",
    "AudioFrame",
    "AudioProcessor",
    "CloudInferencingParams",
    "InitParams",
    "LanguageTranslationConfig",
    "PipelineState",
    "ProcessorAttributes",
    "Sdk",
    "SdkErrorType",
    "SdkResult",
    "TextFrame",
    "TranscriptData",
    "TranscriptSegment",
    "TranscriptType",
    "create_sdk",
]
