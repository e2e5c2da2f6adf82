"""Command line of the tavix package: ``python -m tavix demo``."""

from __future__ import annotations

import argparse

import _tavix_module as tavix

DEMO_KEY = "tvx1-demo-all-never-13c5b659"


def run_demo(args: argparse.Namespace) -> int:
    sdk = tavix.create_sdk(tavix.InitParams(args.storage))
    print(f"SDK version: {sdk.version}")
    result = sdk.activate_api_key(args.key)
    print(f"activation: success={result.success} error_type={result.error_type} message={result.message!r}")
    return 0 if result.success else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="tavix", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="activate the SDK and process synthetic audio")
    demo.add_argument("--key", default=DEMO_KEY, help="API key (default: the substitute SDK's demo key)")
    demo.add_argument("--storage", default="./storage", help="SDK storage directory")
    demo.set_defaults(run=run_demo)
    args = parser.parse_args(argv)
    return args.run(args)
