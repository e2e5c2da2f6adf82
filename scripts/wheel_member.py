"""Copies one file out of a wheel to standard output:

    python wheel_member.py WHEEL NAME > OUT

A wheel without NAME is an error that lists the wheel's files in NAME's
folder (a library stored under another name, a moved stub)."""

from __future__ import annotations

import sys
import zipfile


def main(wheel_path: str, name: str) -> int:
    with zipfile.ZipFile(wheel_path) as wheel:
        try:
            data = wheel.read(name)
        except KeyError:
            folder = name.rpartition("/")[0]
            beside = [n for n in wheel.namelist() if n.rpartition("/")[0] == folder]
            print(f"error: {wheel_path} has no {name}; in {folder or 'its top'}: "
                  f"{', '.join(beside) or 'nothing'}", file=sys.stderr)
            return 1
    sys.stdout.buffer.write(data)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print("usage: wheel_member.py WHEEL NAME", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
