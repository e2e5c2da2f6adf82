#!/usr/bin/env python3
"""Make an API key for the substitute Tavix SDK.

    python sdk/tools/make_api_key.py demo                       # the demo key
    python sdk/tools/make_api_key.py alice --grant passthrough+denoise --expiry 20271231

A key is tvx1-<user>-<grant>-<expiry>-<checksum>; the checksum is FNV-1a (32 bit)
of everything before the last '-', as 8 lower-case hex digits.
"""

import argparse


def key_checksum(body: str) -> str:
    value = 2166136261
    for byte in body.encode():
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return f"{value:08x}"


def make_api_key(user: str, grant: str = "all", expiry: str = "never") -> str:
    body = f"tvx1-{user}-{grant}-{expiry}"
    return f"{body}-{key_checksum(body)}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("user", help="1 to 32 of a-z, 0-9 and _")
    parser.add_argument("--grant", default="all", help="'all' or model keys joined with '+'")
    parser.add_argument("--expiry", default="never", help="'never' or the last valid day, YYYYMMDD")
    args = parser.parse_args()
    print(make_api_key(args.user, args.grant, args.expiry))


if __name__ == "__main__":
    main()
