"""``tavix live``: a microphone through a model to a speaker, in real time."""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, Final

from tavix.live import DEFAULT_BLOCK_MS, LiveAudio, LiveStatus, LiveUnavailableError, list_devices

#: Seconds between two status lines (on a terminal) or JSON status objects.
STATUS_INTERVAL: Final = 0.25
JSON_INTERVAL: Final = 1.0

LIVE_DESCRIPTION = f"""\
Runs the sound card's input through a model (denoise unless --model names
another) to its output as it comes in, on PortAudio (pip install 'tavix[live]').
Until the model runs, silence goes out (the unprocessed input with
--bypass-while-starting). On a terminal a status line shows the input and output
levels, the latency (the devices' as PortAudio reports it, plus the processing)
and the input overflows and output underflows; at the end one summary line.
Ctrl-C stops it (status 0), as does --duration.

Devices are PortAudio's, by number or a part of the name (--list-devices).

examples:
  tavix live --list-devices
  tavix live                                   default microphone to default speaker
  tavix live --input USB --output pulse --record clean.wav --duration 60
  tavix live --json --duration 10

exit status: 0 stopped, 1 the devices, the SDK or a recording failed, 2 usage error."""


def _positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
        if not value > 0 or not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"{text!r} must be more than 0")
        return value
    return parse


def add_live_command(commands: Any, formatter: type[argparse.HelpFormatter],
                     add_key_options: Callable[[argparse.ArgumentParser], None]) -> None:
    live = commands.add_parser("live", help="a microphone through a model to a speaker, live",
                               description=LIVE_DESCRIPTION, formatter_class=formatter)
    live.add_argument("--list-devices", action="store_true", help="list the devices and exit")
    live.add_argument("--input", metavar="DEV", help="input device (default: the system's)")
    live.add_argument("--output", metavar="DEV", help="output device (default: the system's)")
    live.add_argument("-m", "--model", default="denoise", metavar="NAME",
                      help="the SDK's model (default: %(default)s)")
    live.add_argument("--rate", type=_positive(int), default=48000, metavar="HZ",
                      help="sample rate (default: %(default)s)")
    live.add_argument("--channels", type=int, choices=(1, 2), default=1,
                      help="1 or 2 (default: %(default)s)")
    live.add_argument("--block", type=_positive(int), metavar="FRAMES",
                      help=f"frames per processing call (default: {DEFAULT_BLOCK_MS} ms worth)")
    live.add_argument("--latency", type=_positive(float), metavar="S",
                      help="the devices' buffering to ask PortAudio for, in seconds (default: one "
                           "block); lower is quicker, higher safer from underflows")
    live.add_argument("--duration", type=_positive(float), metavar="S",
                      help="stop after S seconds (default: run until Ctrl-C)")
    live.add_argument("--record", metavar="FILE", help="also write the processed audio to FILE")
    live.add_argument("--record-input", metavar="FILE", help="also write the raw input to FILE")
    live.add_argument("--overwrite", action="store_true", help="replace existing recordings")
    live.add_argument("--bypass-while-starting", action="store_true",
                      help="pass the input through unprocessed until the model runs")
    live.add_argument("--json", action="store_true",
                      help="print JSON lines: a status each second and a summary")
    add_key_options(live)
    live.set_defaults(run=run_live, parser=live)


def _ms(seconds: float | None) -> str:
    return "?" if seconds is None else f"{1000 * seconds:.1f} ms"


def _level(decibels: float) -> str:
    return f"{decibels:6.1f} dBFS" if math.isfinite(decibels) else "silence"


def status_line(model: str, status: LiveStatus) -> str:
    if status.state == "running":
        where = f"{model}: in {_level(status.input_level)}, out {_level(status.output_level)}"
    else:
        where = f"{model} {status.state}: in {_level(status.input_level)}"
    return (f"{where}, latency {_ms(status.latency)} (device {_ms(status.device_latency)} + "
            f"processing {_ms(status.processing_latency)}), "
            f"{status.input_overflows} overflows, {status.output_underflows} underflows")


def summary_line(status: LiveStatus) -> str:
    dropped = (f", recording lost {status.recording_dropped} frames"
               if status.recording_dropped else "")
    return (f"tavix live: {status.seconds:.1f} s, latency {_ms(status.latency)} (device "
            f"{_ms(status.device_latency)} + processing {_ms(status.processing_latency)}), "
            f"{status.input_overflows} input overflows, {status.output_underflows} output "
            f"underflows{dropped}")


def status_json(event: str, status: LiveStatus) -> str:
    def finite(value: float | None) -> float | None:
        return round(value, 6) if value is not None and math.isfinite(value) else None

    return json.dumps({
        "event": event, "seconds": round(status.seconds, 3), "state": status.state,
        "input_level": finite(status.input_level), "output_level": finite(status.output_level),
        "latency": finite(status.latency), "device_latency": finite(status.device_latency),
        "processing_latency": finite(status.processing_latency),
        "input_overflows": status.input_overflows, "output_underflows": status.output_underflows,
        "recording_dropped": status.recording_dropped})


def run_live(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from _tavix_module import InitParams, create_sdk
    from tavix.cli import resolve_key
    from tavix.session import ActivationError, Session, default_storage_dir

    if args.record is not None and args.record_input is not None and \
            Path(args.record).resolve() == Path(args.record_input).resolve():
        parser.error("--record and --record-input name the same file")
    key_source = "nowhere"
    try:
        if args.list_devices:
            print(list_devices())
            return 0
        storage = Path(args.storage) if args.storage else default_storage_dir()
        key = resolve_key(args.api_key,
                          lambda: create_sdk(InitParams(os.fspath(storage))).version)
        key_source = key.source
        with Session(key.value, storage_dir=storage) as session:
            live = LiveAudio(session, args.model, rate=args.rate, channels=args.channels,
                             block=args.block, input=args.input, output=args.output,
                             latency=args.latency,
                             bypass_while_starting=args.bypass_while_starting,
                             record=args.record, record_input=args.record_input,
                             overwrite=args.overwrite)
            try:
                _watch(live, args)
            finally:
                # A second Ctrl-C must not cut the recordings short.
                previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
                try:
                    live.close()
                finally:
                    signal.signal(signal.SIGINT, previous)
            status = live.status()
    except LiveUnavailableError as error:
        print(f"tavix live: {error}", file=sys.stderr)
        return 1
    except ActivationError as error:
        print(f"tavix: {error} (API key from {key_source})", file=sys.stderr)
        return 1
    except (OSError, RuntimeError, ValueError) as error:
        print(f"tavix live: {error}", file=sys.stderr)
        return 1
    print(status_json("summary", status) if args.json else summary_line(status), flush=True)
    if live.error is not None:
        print(f"tavix live: the stream failed: {live.error}", file=sys.stderr)
        return 1
    return 0


def _stop(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def _watch(live: LiveAudio, args: argparse.Namespace) -> None:
    """Shows the status until the duration is over, Ctrl-C (or SIGTERM from a
    service manager, SIGHUP from a closed terminal: the recordings are kept
    all the same), or a failure."""
    signal.signal(signal.SIGTERM, _stop)
    signal.signal(signal.SIGHUP, _stop)
    on_terminal = not args.json and sys.stderr.isatty()
    interval = JSON_INTERVAL if args.json else STATUS_INTERVAL
    start = time.monotonic()
    next_status = start + interval
    try:
        while live.error is None:
            now = time.monotonic()
            if args.duration is not None and now - start >= args.duration:
                break
            if now >= next_status:
                next_status += interval
                status = live.status()
                if args.json:
                    print(status_json("status", status), flush=True)
                elif on_terminal:
                    print(f"\r\x1b[K{status_line(args.model, status)}", end="", file=sys.stderr,
                          flush=True)
            time.sleep(min(0.05, live.block / live.rate))
    except KeyboardInterrupt:
        pass
    if on_terminal:
        print(file=sys.stderr)
