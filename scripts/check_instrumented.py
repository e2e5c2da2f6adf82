"""Exits non-zero unless the module and the SDK library this interpreter loads
are those of the build folder given (an instrumented build): a run against
anything else would pass without checking anything."""
import sys
import _tavix_module
build = sys.argv[1]
maps = open("/proc/self/maps").read()
if not _tavix_module.__file__.startswith(build + "/") or f"{build}/sdk/libTavixSdk.so" not in maps:
    sys.exit(f"error: the sanitizer run loads {_tavix_module.__file__}, not the build in {build}")
