"""The ``tavix`` command line: process, transcribe, info, demo."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Final

import _tavix_module
from tavix._cli_batch import (
    SUBSTITUTE_SUFFIX,
    ApiKey,
    Choices,
    Interrupted,
    Settings,
    UsageError,
    default_jobs,
    output_label,
    plan,
    run_batch,
)
from tavix._cli_cluster import add_cluster_option, run_on_cluster
from tavix._cli_inputs import STANDARD_STREAM
from tavix._cli_live import add_live_command
from tavix._stdout import guarded_stdout
from tavix.audio import RawFormat
from tavix.session import API_KEY_VARIABLE, default_storage_dir
from tavix.signals import DTMF_FREQUENCIES

#: The substitute SDK's demo key, entitled to every model (sdk/README.md).
DEMO_KEY: Final = "tvx1-demo-all-never-13c5b659"

EXIT_USAGE: Final = 2
#: The sample rates the SDK processes (its refusals name this range).
DEMO_RATES: Final = range(8000, 192000 + 1)

KEY_HELP = ("The API key comes from --api-key, else the environment variable TAVIX_API_KEY, else\n"
            "(with the substitute SDK only) its demo key. It is never printed.")
EXIT_HELP = ("exit status: 0 success, 1 a file failed (the others are still processed) or the key\n"
             "was refused, 2 usage error (existing outputs among them: nothing was done),\n"
             "130/143/129 interrupted by SIGINT/SIGTERM/SIGHUP (no partial output is left).")


def resolve_key(given: str | None, sdk_version: Callable[[], str]) -> ApiKey:
    """--api-key, else TAVIX_API_KEY, else the demo key if the SDK is the
    substitute (asking `sdk_version` only then), else the empty key."""
    if given is not None:
        return ApiKey(given, "--api-key")
    from_environment = os.environ.get(API_KEY_VARIABLE)
    if from_environment:
        return ApiKey(from_environment, API_KEY_VARIABLE)
    if sdk_version().endswith(SUBSTITUTE_SUFFIX):
        return ApiKey(DEMO_KEY, "the substitute SDK's demo key")
    return ApiKey("", f"nowhere: pass --api-key or set {API_KEY_VARIABLE}")


def _sdk(storage: Path) -> _tavix_module.Sdk:
    return _tavix_module.create_sdk(_tavix_module.InitParams(os.fspath(storage)))


# Option types: a bad value is a usage error (exit 2), not a traceback.

def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} must be 1 or more")
    return value


def _sdk_text(text: str) -> str:
    """A value handed to the SDK, which takes UTF-8 text without NULs (a
    file name the shell passed as other bytes cannot be)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"{text!r} is not UTF-8 text") from None
    if "\0" in text:
        raise argparse.ArgumentTypeError(f"{text!r} holds a NUL character")
    return text


def _model_name(text: str) -> str:
    # The name becomes part of the default output file name.
    if "/" in _sdk_text(text) or os.sep in text:
        raise argparse.ArgumentTypeError(f"{text!r} is not a model name (it holds a '/')")
    return text


def _language_pair(text: str) -> tuple[str, str]:
    source, colon, target = _sdk_text(text).partition(":")
    if not colon or not source or not target:
        raise argparse.ArgumentTypeError(f"{text!r} is not FROM:TO (for example en-US:es-ES)")
    return source, target


def _demo_rate(text: str) -> int:
    rate = _positive_int(text)
    if rate not in DEMO_RATES:
        raise argparse.ArgumentTypeError(
            f"{text!r} Hz is not a rate the SDK processes: use {DEMO_RATES[0]} to {DEMO_RATES[-1]}")
    return rate


def _raw_format(text: str) -> RawFormat:
    from tavix._soundfile import load_soundfile

    fields = text.split(":")
    subtypes = load_soundfile().available_subtypes("RAW")
    if len(fields) != 3 or not all(field.isdigit() for field in fields[:2]):
        raise argparse.ArgumentTypeError(f"{text!r} is not RATE:CHANNELS:SUBTYPE (for example 16000:1:PCM_16)")
    rate, channels, subtype = int(fields[0]), int(fields[1]), fields[2].upper()
    if rate < 1 or channels < 1:
        raise argparse.ArgumentTypeError(f"{text!r}: the rate and the channels must be 1 or more")
    if subtype not in subtypes:
        raise argparse.ArgumentTypeError(f"{text!r}: {fields[2]} is not a raw subtype (use one of "
                                         f"{', '.join(sorted(subtypes))})")
    return RawFormat(rate, channels, subtype)


def _container(text: str) -> str:
    from tavix._soundfile import writable_format

    if writable_format(f"x.{text}") is None:
        raise argparse.ArgumentTypeError(f"{text!r} is not an audio format to write (for example wav, flac, ogg)")
    return text.lower()


def _dtmf_keys(text: str) -> str:
    keys = text.upper()
    if not keys or any(key not in DTMF_FREQUENCIES for key in keys):
        raise argparse.ArgumentTypeError(f"{text!r}: use the DTMF keys 0-9, A-D, * and #")
    return keys


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Descriptions and examples as written; option help wrapped."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, max_help_position=32)

    def add_argument(self, action: argparse.Action) -> None:
        super().add_argument(action)
        if action.nargs == argparse.PARSER:
            # argparse measures the commands one indent short of where it
            # prints them, which would wrap the longest one's help.
            self._action_max_length += 2


def _add_key_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--api-key", metavar="KEY", type=_sdk_text,
                        help="API key (see above for the default)")
    parser.add_argument("--storage", metavar="DIR", type=_sdk_text,
                        help=f"the SDK's storage folder (data and logs; default: {default_storage_dir()})")


def _add_run_options(parser: argparse.ArgumentParser) -> None:
    path = parser.add_mutually_exclusive_group()
    path.add_argument("--local", dest="cloud", action="store_false", default=None,
                      help="process on the local path")
    path.add_argument("--cloud", dest="cloud", action="store_true",
                      help="process on the cloud path (the SDK's default, unless "
                           "TAVIX_LOCAL_INFERENCING=1)")
    parser.add_argument("--pcm16", action="store_true",
                        help="16-bit PCM on the cloud link instead of G.711")
    parser.add_argument("-j", "--jobs", metavar="N", type=_positive_int, default=default_jobs(),
                        help="files processed at once (default: the number of cores, %(default)s)")
    parser.add_argument("--json", action="store_true",
                        help="print JSON lines: each transcript, one object per file, a total")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bar and no summary (errors and transcripts still print)")
    parser.add_argument("-r", "--recursive", action="store_true",
                        help="with a folder as input, take the audio files of its subfolders too")
    parser.add_argument("--raw", metavar="RATE:CHANNELS:SUBTYPE", type=_raw_format,
                        help="the inputs are headerless samples of this layout (for example "
                             "16000:1:PCM_16)")
    add_cluster_option(parser)


PROCESS_DESCRIPTION = f"""\
Processes audio files through a model of the SDK (denoise unless --model names
another) and writes the results at each input's sample rate and channel count, and
in its sample format where the output's format has it. Anything soundfile reads
goes in (WAV, FLAC, Ogg, MP3, ...); the output's extension sets its format. Any
channel count: beyond stereo, each pair of channels is processed on its own.

With one input, -o names the output file (default: the input's name with .denoised,
or the model's name, before the suffix); with several, -o names a folder, created
if needed, that gets each input's name. A folder as input processes the audio files
in it (--recursive: its subfolders too), keeping their layout under -o; other files
are listed once as skipped. '-' as input reads standard input (--raw for headerless
samples), and -o - writes standard output (--format, WAV by default); summaries then
go to standard error.

Outputs are written under a temporary name and renamed once complete and on disk.
Existing outputs stop the run before any work, naming them: --overwrite replaces
them (never by a worse one: a full disk fails the file), --skip-existing leaves them
and processes the rest. Inputs that are this model's outputs of other inputs (from
an earlier run over the same files) are skipped. SIGINT, SIGTERM and SIGHUP stop the
run, remove its partial outputs and say how many files finished.

With --translate the translation pipeline runs instead of a model: its transcripts
and translations print as they arrive, one line each (file, kind, language, final
or partial, times, text), and the audio it writes is a copy of the input (the
pipeline passes it through unchanged).

Files run --jobs at a time, each on its own stream; a progress bar shows on a
terminal. The run ends with one summary line per file and a total.

{KEY_HELP}

examples:
  tavix process noisy.wav                      writes noisy.denoised.wav
  tavix process noisy.wav -o clean.flac        the same, as FLAC
  tavix process *.wav -o clean/ --jobs 4       four files at a time into clean/
  tavix process *.wav --skip-existing          again: only what is not done yet
  tavix process recordings/ -r -o clean/       a folder tree into clean/, same layout
  cat in.flac | tavix process - -o - > out.wav  a pipe through denoise
  tavix process - --raw 16000:1:PCM_16 -o out.flac < in.pcm
  tavix process call.wav --model passthrough --local
  tavix process call.wav --translate en-US:es-ES --json

{EXIT_HELP}"""

TRANSCRIBE_DESCRIPTION = f"""\
Prints the transcripts of audio files as they arrive, and their translations with
--to; writes no audio. The same as 'tavix process --translate FROM:TO' without
the output files. Lines and summaries as for 'tavix process'.

{KEY_HELP}

examples:
  tavix transcribe call.wav --from en-US
  tavix transcribe *.flac --from en-US --to de-DE --json

{EXIT_HELP}"""

INFO_DESCRIPTION = f"""\
Prints the version of the package and of the SDK, where the API key comes from,
whether it activates and the SDK's activation message (for the substitute SDK:
the user and the models the key is entitled to).

{KEY_HELP}

examples:
  tavix info
  tavix info --json --storage /tmp/tavix-storage

exit status: 0 the key activates, 1 it is refused, 2 usage error."""

DEMO_DESCRIPTION = f"""\
Activates the SDK, synthesises 3 s of a 440 Hz tone in white noise followed by
DTMF keys, and runs it through the denoise model (writing input.wav and
denoised.wav into a new temporary folder, or the folder -o names, and printing
where and the SNR gain) and through the translation pipeline
(printing each transcript as it arrives), with the pipeline states and the
real-time factors.

{KEY_HELP}

examples:
  tavix demo
  tavix demo --keys 123# --language-out de-DE --rate 48000"""

MAIN_DESCRIPTION = f"""\
Noise suppression, transcription and translation of audio files with the Tavix SDK.

{KEY_HELP}

examples:
  tavix process noisy.wav                      writes noisy.denoised.wav
  tavix transcribe call.wav --from en-US --to es-ES
  tavix info
  tavix process --help                         options of one command"""


def build_parser() -> argparse.ArgumentParser:
    from tavix import __version__

    parser = argparse.ArgumentParser(prog="tavix", description=MAIN_DESCRIPTION,
                                     formatter_class=_Formatter)
    parser.add_argument("--version", action="version", version=f"tavix {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     title="commands")

    process = commands.add_parser("process", help="process audio files through a model",
                                  description=PROCESS_DESCRIPTION, formatter_class=_Formatter)
    process.add_argument("inputs", nargs="+", metavar="IN",
                         help="audio files, folders of them, or - for standard input")
    process.add_argument("-o", "--output", metavar="OUT",
                         help="the output file (one input) or folder (several, or a folder), "
                              "or - for standard output")
    process.add_argument("-m", "--model", metavar="NAME", type=_model_name,
                         help="the SDK's model (default: denoise)")
    process.add_argument("--translate", metavar="FROM:TO", type=_language_pair,
                         help="run the translation pipeline from language FROM to TO "
                              "(for example en-US:es-ES) and print its transcripts")
    existing = process.add_mutually_exclusive_group()
    existing.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    existing.add_argument("--skip-existing", action="store_true",
                          help="leave existing outputs, and skip their inputs")
    process.add_argument("--format", metavar="EXT", type=_container, default="wav",
                         help="the format written to standard output with -o - (default: %(default)s)")
    _add_run_options(process)
    _add_key_options(process)
    process.set_defaults(run=_run_process, parser=process)

    transcribe = commands.add_parser("transcribe", help="print the transcripts of audio files",
                                     description=TRANSCRIBE_DESCRIPTION, formatter_class=_Formatter)
    transcribe.add_argument("inputs", nargs="+", metavar="IN",
                            help="audio files, folders of them, or - for standard input")
    transcribe.add_argument("--from", dest="language_in", metavar="LANG", required=True, type=_sdk_text,
                            help="the language spoken (for example en-US)")
    transcribe.add_argument("--to", dest="language_out", metavar="LANG", type=_sdk_text,
                            help="also print translations into this language")
    _add_run_options(transcribe)
    _add_key_options(transcribe)
    transcribe.set_defaults(run=_run_transcribe, parser=transcribe)

    info = commands.add_parser("info", help="versions, and whether the API key activates",
                               description=INFO_DESCRIPTION, formatter_class=_Formatter)
    info.add_argument("--json", action="store_true", help="print one JSON object")
    _add_key_options(info)
    info.set_defaults(run=_run_info, parser=info)

    demo = commands.add_parser("demo", help="the built-in demonstration on synthetic audio",
                               description=DEMO_DESCRIPTION, formatter_class=_Formatter)
    demo.add_argument("--api-key", "--key", dest="api_key", metavar="KEY", type=_sdk_text,
                      help="API key (see above for the default)")
    demo.add_argument("--storage", metavar="DIR", type=_sdk_text,
                      help=f"the SDK's storage folder (default: {default_storage_dir()})")
    demo.add_argument("-o", "--out", metavar="DIR",
                      help="where the WAV files go (default: a new temporary folder, printed)")
    demo.add_argument("--rate", type=_demo_rate, default=16000,
                      help=f"sample rate in Hz, {DEMO_RATES[0]} to {DEMO_RATES[-1]} (default: %(default)s)")
    demo.add_argument("--keys", type=_dtmf_keys, default="2026#",
                      help="DTMF keys to synthesise (default: %(default)s)")
    demo.add_argument("--language-out", default="es-ES", metavar="LANG", type=_sdk_text,
                      help="language of the translation (default: %(default)s)")
    demo.set_defaults(run=_run_demo, parser=demo)
    add_live_command(commands, _Formatter, _add_key_options)
    return parser


def _storage(args: argparse.Namespace) -> Path:
    return Path(args.storage) if args.storage else default_storage_dir()


def _run_process(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.translate is not None and args.model not in (None, "translation"):
        parser.error(f"--translate runs the translation pipeline; it does not go with --model {args.model}")
    model = args.model or ("" if args.translate is not None else "denoise")
    settings = Settings(model=model, translate=args.translate, cloud=args.cloud, pcm16=args.pcm16,
                        jobs=args.jobs, json=args.json, quiet=args.quiet, overwrite=args.overwrite,
                        storage=_storage(args))
    return _batch(args, parser, settings, output_label(model))


def _run_transcribe(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from _tavix_module import TranscriptType

    kinds = frozenset(TranscriptType) if args.language_out else frozenset({TranscriptType.TRANSCRIPTION})
    settings = Settings(model="", translate=(args.language_in, args.language_out or args.language_in),
                        cloud=args.cloud, pcm16=args.pcm16, jobs=args.jobs, json=args.json,
                        quiet=args.quiet, overwrite=False, kinds=kinds, storage=_storage(args),
                        language_options=("--from", "--to" if args.language_out else "--from"))
    return _batch(args, parser, settings, None)


def _batch(args: argparse.Namespace, parser: argparse.ArgumentParser, settings: Settings,
           label: str | None) -> int:
    choices = Choices(recursive=args.recursive, raw=args.raw, overwrite=settings.overwrite,
                      skip_existing=getattr(args, "skip_existing", False),
                      stdout_format=getattr(args, "format", "wav"))
    if args.cluster and (args.raw or STANDARD_STREAM in (*args.inputs, getattr(args, "output", None))):
        # The workers read and write files by name; a pipe is this process's own.
        parser.error("--cluster takes files and folders: - (a pipe) and --raw run on this machine only")
    try:
        planned = plan(args.inputs, getattr(args, "output", None), label, choices)
    except UsageError as error:
        parser.error(str(error))
    if not settings.quiet:
        for note in planned.notes:
            print(f"tavix: {note}", file=sys.stderr)
    storage = _storage(args)
    try:
        key = resolve_key(args.api_key, lambda: _sdk(storage).version)
    except (RuntimeError, ValueError) as error:
        print(f"tavix: cannot start the SDK with the storage folder {storage}: {error}", file=sys.stderr)
        return 1
    if args.cluster:
        return run_on_cluster(args.cluster, planned.jobs, planned.folder, settings, key, args.storage)
    return run_batch(planned.jobs, planned.folder, settings, key, storage)


def _run_info(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tavix import __version__

    storage = _storage(args)
    try:
        sdk = _sdk(storage)
    except (RuntimeError, ValueError) as error:
        print(f"tavix: cannot start the SDK with the storage folder {storage}: {error}", file=sys.stderr)
        return 1
    key = resolve_key(args.api_key, lambda: sdk.version)
    result = sdk.activate_api_key(key.value)
    message = result.message.replace(key.value, "***") if len(key.value) >= 8 else result.message
    if args.json:
        print(json.dumps({"package": __version__, "sdk": sdk.version, "storage": str(storage),
                          "key_source": key.source, "activated": result.success,
                          "error_type": None if result.success else result.error_type.name,
                          "message": message}))
    else:
        outcome = "ok" if result.success else f"refused: {result.error_type.name}"
        print(f"tavix {__version__}\nSDK {sdk.version}\nstorage: {storage}\n"
              f"API key: from {key.source}\nactivation: {outcome}: {message}")
    return 0 if result.success else 1


def _run_demo(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from tavix.demo import DemoConfig, run

    storage = _storage(args)
    try:
        # Not the current folder: a demonstration should leave it as it was.
        out = args.out if args.out is not None else tempfile.mkdtemp(prefix="tavix-demo-")
        key = resolve_key(args.api_key, lambda: _sdk(storage).version)
        return run(DemoConfig(key=key.value, storage=os.fspath(storage), out_dir=out, rate=args.rate,
                              keys=args.keys, language_out=args.language_out))
    except (RuntimeError, ValueError, OSError) as error:
        print(f"tavix demo: {error}", file=sys.stderr)
        return 1


def main(argv: Sequence[str] | None = None) -> int:
    with guarded_stdout():
        parser = build_parser()
        args = parser.parse_args(argv)
        command: Callable[[argparse.Namespace, argparse.ArgumentParser], int] = args.run
        try:
            return command(args, args.parser)
        except Interrupted as interrupt:
            print(f"tavix: {interrupt}", file=sys.stderr)
            return interrupt.exit_status
        except KeyboardInterrupt:
            print("tavix: interrupted", file=sys.stderr)
            return Interrupted(signal.SIGINT).exit_status
