"""Checks that a wheel is one we can ship, after `auditwheel repair`:

    check_wheel.py WHEEL            the substitute SDK's wheel
    check_wheel.py --vendor WHEEL   a wheel built against the vendor's SDK

- tags: cp312-abi3 (one stable-ABI extension, no version-specific one) and a
  manylinux platform tag, the same in the file name and in WHEEL;
- version: the same in the file name and METADATA; a vendor wheel carries
  the local label "+vendor", the substitute's none;
- a tidy top level: the extension, its stubs, the package `tavix`, the
  dist-info and auditwheel's `tavix.libs`, nothing else; the substitute SDK
  inside the package (tavix/_lib);
- every shared object's run path is relative ($ORIGIN), never a folder of the
  build machine, and every library it needs is in the wheel along that path
  or on the manylinux allow-list, so the wheel runs wherever it is unpacked;
- the extension and the SDK library link one and the same shared C++
  runtime (the system's libstdc++, or a libc++ the wheel bundles): they pass
  std::string, std::function and exceptions to each other, and a runtime
  linked statically into each would give each its own type information;
- the symbol versions every shared object needs from glibc, libstdc++ and
  libgcc are ones its platform tag promises (auditwheel's policy for the tag
  and architecture): no glibc newer than the tag's, and libstdc++ only as
  old as that policy allows, or not at all;
- licence metadata (PEP 639) and its files; no FFTW (GPL) anywhere.

Needs readelf (binutils) and auditwheel (for its policies)."""

from __future__ import annotations

import argparse
import email.parser
import importlib.resources
import json
import posixpath
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

EXTENSION = "_tavix_module.abi3.so"
STUBS = "_tavix_module-stubs/__init__.pyi"
SUBSTITUTE_SDK = "tavix/_lib/libTavixSdk.so"
TOP_LEVEL = {EXTENSION, "_tavix_module-stubs", "tavix", "tavix.libs"}
LICENSE_FILES = {"LICENSE", "NOTICE", "third_party/pocketfft/LICENSE.md", "third_party/nanobind/LICENSE",
                 "third_party/libcxx/LICENSE.TXT", "third_party/libcxxabi/LICENSE.TXT"}
# The libraries every manylinux_2_28-or-later system provides (auditwheel's
# policy lib_whitelist), and the dynamic loaders.
ALLOWED_SYSTEM_LIBRARIES = {
    "libGL.so.1", "libICE.so.6", "libSM.so.6", "libX11.so.6", "libXext.so.6", "libXrender.so.1",
    "libanl.so.1", "libatomic.so.1", "libc.so.6", "libdl.so.2", "libexpat.so.1", "libgcc_s.so.1",
    "libglib-2.0.so.0", "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libm.so.6", "libmvec.so.1",
    "libnsl.so.1", "libpthread.so.0", "libresolv.so.2", "librt.so.1", "libstdc++.so.6",
    "libutil.so.1", "libz.so.1",
    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
}
# A shared C++ runtime, as the system has it or as auditwheel names a bundled
# copy (libc++-1a2b3c4d.so.1).
CXX_RUNTIME = re.compile(r"lib(stdc|c)\+\+(-[0-9a-f]+)?\.so(\.\d+)*")
PLATFORM_TAG = re.compile(r"manylinux_\d+_\d+_\w+|manylinux(1|2010|2014)_\w+")


class WheelError(Exception):
    pass


def dynamic_section(path: Path) -> tuple[list[str], list[str]]:
    """(needed libraries, run path entries) of an ELF file."""
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    run_paths = [entry for value in re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library r(?:un)?path: \[([^\]]*)\]", out)
                 for entry in value.split(":") if entry]
    return needed, run_paths


def needed_versions(path: Path) -> dict[str, set[str]]:
    """The symbol versions an ELF file needs, by library: {"libc.so.6": {"GLIBC_2.17", ...}}."""
    out = subprocess.run(["readelf", "-V", "--wide", str(path)], capture_output=True, text=True, check=True).stdout
    versions: dict[str, set[str]] = {}
    library = None
    for line in out.partition("Version needs section")[2].splitlines():
        if file := re.search(r"File: (\S+)", line):
            library = file[1]
        elif (name := re.search(r"Name: (\S+)", line)) and library:
            versions.setdefault(library, set()).add(name[1])
    return versions


def policy(tag: str) -> tuple[str, dict[str, list[str]]]:
    """(policy name, its allowed symbol versions by prefix) for a platform tag such as
    manylinux_2_17_aarch64 or manylinux2014_x86_64, from auditwheel's own policy file."""
    name, _, arch = re.fullmatch(r"(manylinux(?:_\d+_\d+|1|2010|2014))_(\w+)", tag).group(1, 0, 2)
    text = importlib.resources.files("auditwheel.policy").joinpath("manylinux-policy.json").read_text()
    for entry in json.loads(text):
        if name == entry["name"] or name in entry["aliases"]:
            if arch not in entry["symbol_versions"]:
                raise WheelError(f"{tag}: auditwheel's policy {entry['name']} has no architecture {arch}")
            return entry["name"], entry["symbol_versions"][arch]
    raise WheelError(f"{tag}: no such policy in auditwheel")


def check_symbol_versions(name: str, path: Path, tags: list[str]) -> None:
    needed = needed_versions(path)
    for tag in tags:
        policy_name, allowed = policy(tag)
        floor = tuple(int(n) for n in policy_name.split("_")[1:3])
        for library, versions in needed.items():
            for version in sorted(versions):
                prefix, _, number = version.partition("_")
                if prefix not in allowed:
                    continue  # versions of a library the wheel carries itself
                if prefix == "GLIBC" and tuple(int(n) for n in number.split(".")[:2]) > floor:
                    raise WheelError(f"{name} needs {version} from {library}, newer than {tag} allows "
                                     f"(glibc {floor[0]}.{floor[1]})")
                if number not in allowed[prefix]:
                    raise WheelError(f"{name} needs {version} from {library}, which {tag} does not promise")


def check_shared_cxx_runtime(needed: dict[str, list[str]]) -> None:
    """`needed`: the libraries each shared object of the wheel needs, by its
    path in the wheel. The extension and every SDK library it needs from
    tavix/_lib must need exactly one shared C++ runtime, the same one."""
    sdk = [library for library in needed.get(EXTENSION, [])
           if posixpath.join(posixpath.dirname(SUBSTITUTE_SDK), library) in needed]
    if not sdk:
        raise WheelError(f"{EXTENSION} needs no SDK library from {posixpath.dirname(SUBSTITUTE_SDK)}")
    runtimes: dict[str, str] = {}
    for name in [EXTENSION, *(posixpath.join(posixpath.dirname(SUBSTITUTE_SDK), library) for library in sdk)]:
        found = sorted(library for library in needed[name] if CXX_RUNTIME.fullmatch(library))
        if len(found) != 1:
            raise WheelError(f"{name} needs {len(found)} shared C++ runtimes {found}, not one: a runtime linked "
                             "in statically is its own, and exceptions and type information would not cross "
                             "between the extension and the SDK")
        runtimes[name] = found[0]
    if len(set(runtimes.values())) != 1:
        raise WheelError(f"the extension and the SDK need different C++ runtimes: {runtimes}")


def check_dependencies(wheel: zipfile.ZipFile, names: set[str], tags: list[str]) -> None:
    shared = sorted(n for n in names if re.search(r"\.so(\.\d+)*$", n))
    needed_by: dict[str, list[str]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name in shared:
            extracted = Path(wheel.extract(name, tmp))
            check_symbol_versions(name, extracted, tags)
            needed, run_paths = dynamic_section(extracted)
            needed_by[name] = needed
            folders = []
            for entry in run_paths:
                if not (entry.startswith("$ORIGIN") or entry.startswith("${ORIGIN}")):
                    raise WheelError(f"{name} has the run path {entry!r}: a folder of the build machine, "
                                     "not one relative to the wheel ($ORIGIN)")
                relative = entry.replace("${ORIGIN}", "$ORIGIN").removeprefix("$ORIGIN")
                folders.append(posixpath.normpath(posixpath.join(posixpath.dirname(name), "./" + relative)))
            for library in needed:
                if library in ALLOWED_SYSTEM_LIBRARIES:
                    continue
                if not any(posixpath.normpath(posixpath.join(folder, library)) in names for folder in folders):
                    raise WheelError(f"{name} needs {library}, which is neither in the wheel along its run path "
                                     f"{run_paths} nor on the manylinux allow-list")
    check_shared_cxx_runtime(needed_by)


def check(path: Path, vendor: bool) -> None:
    match = re.fullmatch(r"tavix-(?P<version>[^-]+)-(?P<python>[^-]+)-(?P<abi>[^-]+)-(?P<platform>[^-]+)\.whl",
                         path.name)
    if not match:
        raise WheelError(f"{path.name} is not a wheel file name")
    if (match["python"], match["abi"]) != ("cp312", "abi3"):
        raise WheelError(f"{path.name} is not tagged cp312-abi3")
    platforms = match["platform"].split(".")
    if not all(PLATFORM_TAG.fullmatch(tag) for tag in platforms):
        raise WheelError(f"{path.name}: platform tag {match['platform']} is not manylinux "
                         "(the wheel was not repaired with auditwheel)")

    version = match["version"]
    local = version.partition("+")[2]
    if vendor and local != "vendor":
        raise WheelError(f"a wheel built against the vendor's SDK must be labelled +vendor, not {version!r}")
    if not vendor and local:
        raise WheelError(f"the substitute's wheel has a local version label: {version!r}")

    wheel = zipfile.ZipFile(path)
    names = set(wheel.namelist())
    dist_info = f"tavix-{version}.dist-info"
    metadata = email.parser.Parser().parsestr(wheel.read(f"{dist_info}/METADATA").decode())
    if metadata["Version"] != version:
        raise WheelError(f"METADATA says version {metadata['Version']}, the file name {version}")
    wheel_tags = {line.removeprefix("Tag: ") for line in wheel.read(f"{dist_info}/WHEEL").decode().splitlines()
                  if line.startswith("Tag: ")}
    if wheel_tags != {f"cp312-abi3-{tag}" for tag in platforms}:
        raise WheelError(f"WHEEL tags {sorted(wheel_tags)} do not match the file name")

    top_level = {name.split("/")[0] for name in names} - {dist_info}
    if not top_level <= TOP_LEVEL:
        raise WheelError(f"unexpected at the top of site-packages: {sorted(top_level - TOP_LEVEL)}")
    required = {EXTENSION, STUBS, "tavix/__init__.py", "tavix/py.typed"} | (set() if vendor else {SUBSTITUTE_SDK})
    if missing := required - names:
        raise WheelError(f"missing {sorted(missing)}")
    if version_specific := [n for n in names if n.startswith("_tavix_module.cpython")]:
        raise WheelError(f"version-specific extension {version_specific}: the stable ABI was not used")

    if metadata["Metadata-Version"] not in {"2.4", "2.5"} or metadata["License-Expression"] != "Apache-2.0":
        raise WheelError("METADATA lacks Metadata-Version 2.4 with License-Expression: Apache-2.0")
    declared = set(metadata.get_all("License-File") or [])
    if missing := LICENSE_FILES - declared:
        raise WheelError(f"License-File entries missing: {sorted(missing)}")
    if absent := [f for f in declared if f"{dist_info}/licenses/{f}" not in names]:
        raise WheelError(f"declared licence files not in the wheel: {absent}")
    if gpl := [n for n in names if "fftw" in n.lower()]:
        raise WheelError(f"FFTW (GPL) in the wheel: {gpl}")

    check_dependencies(wheel, names, platforms)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--vendor", action="store_true", help="a wheel built against the vendor's SDK")
    args = parser.parse_args()
    try:
        check(args.wheel, args.vendor)
    except WheelError as error:
        sys.exit(f"wheel check failed: {error}")
    print(f"wheel ok: {args.wheel.name}")


if __name__ == "__main__":
    main()
