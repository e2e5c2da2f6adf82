"""Command line of the tavix package: ``python -m tavix demo``."""

from __future__ import annotations

import argparse

DEMO_KEY = "tvx1-demo-all-never-13c5b659"


def run_demo(args: argparse.Namespace) -> int:
    from tavix.demo import DemoConfig, run

    return run(DemoConfig(key=args.key, storage=args.storage, out_dir=args.out, rate=args.rate,
                          keys=args.keys, language_out=args.language_out))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="tavix", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="activate the SDK and process synthetic audio")
    demo.add_argument("--key", default=DEMO_KEY, help="API key (default: the substitute SDK's demo key)")
    demo.add_argument("--storage", default="./storage", help="SDK storage directory")
    demo.add_argument("--out", default="./out", help="where the WAV files go")
    demo.add_argument("--rate", type=int, default=16000, help="sample rate in Hz")
    demo.add_argument("--keys", default="2026#", help="DTMF keys to synthesise")
    demo.add_argument("--language-out", default="es-ES", help="language of the translation")
    demo.set_defaults(run=run_demo)
    args = parser.parse_args(argv)
    return int(args.run(args))
