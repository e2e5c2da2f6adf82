"""Prepares (once) a C++ toolchain for a glibc 2.17 target from Zig (PyPI's
`ziglang`) and prints its folder, for cmake/zig-toolchain.cmake:

    zig_toolchain.py x86_64-linux-gnu.2.17
    zig_toolchain.py aarch64-linux-gnu.2.17

The folder holds `c++`, `ar` and `ranlib` (Zig for that target), `libc++.so.1`
and `unwinder` (the path of the target's libgcc_s.so.1). Zig links LLVM's
libc++ statically and hidden into every shared library it makes, so the
extension and the SDK would each own a C++ runtime and an exception thrown in
one could not be caught by its base class in the other: they pass
std::string, std::function and exceptions through include/tavix. Here libc++
and libc++abi are built once, from the sources ziglang carries, into ONE
shared library with default visibility that both libraries link instead
(-nostdlib++); auditwheel then bundles it into the wheel. Its exports carry
their own symbol version, so a process that also loads GCC's libstdc++ never
binds our references to libstdc++'s same-named symbols (__cxa_throw,
typeinfo for std::exception, operator new), or theirs to ours.

Exceptions unwind through libgcc_s, not LLVM's libunwind: glibc's
pthread_exit and pthread_cancel unwind through libgcc_s, calling libc++abi's
personality routine, which must then read that unwinder's frames.

The folder is cached under ${TAVIX_CACHE:-/var/cache/tavix}/toolchains, named
by a hash of Zig's version, the target and this file; it is made in a
temporary folder and renamed when complete."""

from __future__ import annotations

import argparse
import concurrent.futures
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import ziglang  # type: ignore[import-untyped]

ZIG = Path(ziglang.__file__).parent / "zig"
ZIG_LIB = ZIG.parent / "lib"
SONAME = "libc++.so.1"
SYMBOL_VERSION = "TAVIX_LIBCXX_1"

# Where each target's libgcc_s.so.1 is on a Debian build machine: the
# machine's own, or the one Debian's cross compiler brings (apt-get install
# libgcc-s1-arm64-cross). Only its symbol table is read: the wheel needs the
# user's libgcc_s.so.1, which every manylinux system has.
UNWINDERS = {
    "x86_64": ["/lib/x86_64-linux-gnu/libgcc_s.so.1", "/usr/lib/x86_64-linux-gnu/libgcc_s.so.1"],
    "aarch64": ["/usr/aarch64-linux-gnu/lib/libgcc_s.so.1", "/lib/aarch64-linux-gnu/libgcc_s.so.1"],
}
UNWINDER_PACKAGES = {"x86_64": "libgcc-s1", "aarch64": "libgcc-s1-arm64-cross"}

# The sources Zig itself builds libc++ and libc++abi from (its libcxx.zig):
# no other operating system's support files, no time zone database, no
# parallel-algorithm backend, and no int128 helpers (compiler_rt has them);
# nor libc++abi's stand-ins for builds without exceptions, which an archive
# never pulls in but a shared library would hold twice.
LEFT_OUT = re.compile(r"/(experimental|pstl|support)/|/(int128_builtins|cxa_noexception)\.cpp$")
# What Zig adds when it builds the two libraries, apart from hidden visibility.
LIBCXX_FLAGS = ["-D_LIBCPP_BUILDING_LIBRARY", "-DLIBCXX_BUILDING_LIBCXXABI", "-D_LIBCPP_HAS_NO_PRAGMA_SYSTEM_HEADER",
                "-DLIBC_NAMESPACE=__llvm_libc_common_utils", "-faligned-allocation"]
LIBCXXABI_FLAGS = ["-D_LIBCPP_BUILDING_LIBRARY", "-D_LIBCXXABI_BUILDING_LIBRARY", "-fstrict-aliasing"]


class ToolchainError(Exception):
    pass


def zig_version() -> str:
    return subprocess.run([str(ZIG), "version"], capture_output=True, text=True, check=True).stdout.strip()


def unwinder(arch: str) -> Path:
    for candidate in UNWINDERS[arch]:
        if Path(candidate).is_file():
            return Path(candidate)
    raise ToolchainError(f"no libgcc_s.so.1 for {arch} on this machine: apt-get install {UNWINDER_PACKAGES[arch]}")


def compile_all(target: str, objects: Path) -> list[Path]:
    # zig c++ adds its libc++ headers and their configuration (ABI namespace,
    # threads, hardening) as it does for every C++ file it compiles, so the
    # library and the code using its headers agree.
    common = [str(ZIG), "c++", "-target", target, "-c", "-fPIC", "-O2", "-g0", "-DNDEBUG", "-std=c++23",
              "-I", str(ZIG_LIB / "libcxx/src"), "-Wno-user-defined-literals", "-Wno-covered-switch-default"]
    jobs: list[tuple[list[str], Path]] = []
    for library, flags in (("libcxx", [*LIBCXX_FLAGS, "-I", str(ZIG_LIB / "libcxx/libc")]),
                           ("libcxxabi", LIBCXXABI_FLAGS)):
        for source in sorted((ZIG_LIB / library / "src").rglob("*.cpp")):
            if LEFT_OUT.search(source.as_posix()):
                continue
            name = f"{library}-{source.relative_to(ZIG_LIB / library / 'src').as_posix().replace('/', '-')}.o"
            jobs.append(([*common, *flags, str(source), "-o", str(objects / name)], objects / name))

    def run(job: tuple[list[str], Path]) -> Path:
        out = subprocess.run(job[0], capture_output=True, text=True)
        if out.returncode != 0:
            raise ToolchainError(f"compiling {job[0][-3]} failed:\n{out.stderr[-3000:]}")
        return job[1]

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        return list(pool.map(run, jobs))


def write_tool(path: Path, *command: str) -> None:
    path.write_text(f'#!/bin/sh\nexec {shlex.join(command)} "$@"\n')
    path.chmod(0o755)


def build(target: str, folder: Path) -> None:
    arch = target.split("-")[0]
    if arch not in UNWINDERS:
        raise ToolchainError(f"unsupported target {target}: "
                             + " or ".join(f"{known}-linux-gnu.2.17" for known in sorted(UNWINDERS)))
    libgcc_s = unwinder(arch)
    objects = folder / "objects"
    objects.mkdir()
    compiled = compile_all(target, objects)
    (folder / "exports.map").write_text(f"{SYMBOL_VERSION} {{ global: *; }};\n")
    link = [str(ZIG), "c++", "-target", target, "-shared", "-nostdlib++", "-o", str(folder / SONAME),
            f"-Wl,-soname,{SONAME}", f"-Wl,--version-script={folder / 'exports.map'}",
            *map(str, compiled), str(libgcc_s), "-lpthread"]
    out = subprocess.run(link, capture_output=True, text=True)
    if out.returncode != 0:
        raise ToolchainError(f"linking {SONAME} failed:\n{out.stderr[-3000:]}")
    shutil.rmtree(objects)
    write_tool(folder / "c++", str(ZIG), "c++", "-target", target)
    write_tool(folder / "ar", str(ZIG), "ar")
    write_tool(folder / "ranlib", str(ZIG), "ranlib")
    (folder / "unwinder").write_text(f"{libgcc_s}\n")
    (folder / "target").write_text(f"{target}\n")


def toolchain(target: str, cache: Path) -> Path:
    key = hashlib.sha256(f"{zig_version()} {target} {ZIG}\n".encode() + Path(__file__).read_bytes())
    folder = cache / f"zig-{target}-{key.hexdigest()[:16]}"
    if (folder / SONAME).is_file():
        return folder
    cache.mkdir(parents=True, exist_ok=True)
    partial = Path(tempfile.mkdtemp(prefix=".partial-", dir=cache))
    try:
        build(target, partial)
        try:
            partial.rename(folder)
        except OSError:
            if not (folder / SONAME).is_file():  # not another run's, finished meanwhile
                raise
    finally:
        shutil.rmtree(partial, ignore_errors=True)
    return folder


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("target", help="a Zig target such as x86_64-linux-gnu.2.17")
    args = parser.parse_args()
    cache = Path(os.environ.get("TAVIX_CACHE", "/var/cache/tavix")) / "toolchains"
    try:
        print(toolchain(args.target, cache))
    except ToolchainError as error:
        sys.exit(f"zig_toolchain: {error}")


if __name__ == "__main__":
    main()
