"""What the scripts ask of a Python interpreter, run by that interpreter:

    python python_query.py supported         exit 0 if it is 3.12 or newer
    python python_query.py version           its version, "3.12"
    python python_query.py include           its C headers' folder
    python python_query.py installed NAME..  exit 0 if every distribution is installed
    python python_query.py imports MODULE..  exit 0 if every module imports

The candidates tried include old interpreters, so this file keeps to syntax
every Python 3 parses (no f-strings)."""

import sys


def installed(names):
    import importlib.metadata

    for name in names:
        try:
            importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            return 1
    return 0


def imports(names):
    import importlib

    for name in names:
        try:
            importlib.import_module(name)
        except ImportError:
            return 1
    return 0


def main(argv):
    question, names = argv[0], argv[1:]
    if question == "supported":
        return 0 if sys.version_info >= (3, 12) else 1
    if question == "version":
        print("%d.%d" % sys.version_info[:2])
        return 0
    if question == "include":
        import sysconfig

        print(sysconfig.get_paths()["include"])
        return 0
    if question == "installed":
        return installed(names)
    if question == "imports":
        return imports(names)
    sys.stderr.write("python_query.py: unknown question %r\n" % question)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
