"""What the scripts ask of a Python interpreter, run by that interpreter:

    python python_query.py supported         exit 0 if it is 3.12 or newer
    python python_query.py version           its version, "3.12"
    python python_query.py include           its C headers' folder
    python python_query.py installed NAME[==VERSION]..  exit 0 if every distribution is installed
                                           (at that version)
    python python_query.py imports MODULE..  exit 0 if every module imports

An interpreter that cannot run this file at all counts as unsupported."""

import sys


def every(find, names):
    """0 when `find` finds every name (it raises ImportError, as both
    importlib.metadata.version and importlib.import_module do, for one it
    does not), else 1."""
    for name in names:
        try:
            find(name)
        except ImportError:
            return 1
    return 0


def installed(requirement):
    """Raises ImportError unless the distribution named, at the version a
    NAME==VERSION pin gives, is installed."""
    import importlib.metadata

    name, _, pinned = requirement.partition("==")
    version = importlib.metadata.version(name)  # PackageNotFoundError is an ImportError
    if pinned and version != pinned:
        raise ImportError(f"{name} {version} is installed, not {pinned}")


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
        return every(installed, names)
    if question == "imports":
        import importlib

        return every(importlib.import_module, names)
    sys.stderr.write("python_query.py: unknown question %r\n" % question)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
