# Shared set-up for the scripts in this folder; sourced, not run. Every
# script runs in strict mode from the repository's root (the paths it is
# given are taken from there), and most begin with prepare_venv.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo_root"

# python_query PYTHON QUESTION [NAME...]: asks interpreter PYTHON
# (scripts/python_query.py says what it answers).
python_query() {
    local python=$1; shift
    "$python" "$repo_root/scripts/python_query.py" "$@"
}

is_supported_python() {
    python_query "$1" supported >/dev/null 2>&1
}

python_candidates() {
    local minor
    for minor in 12 13 14; do
        echo "python3.$minor"
        echo "/usr/bin/python3.$minor"
        ls -d /root/.pyenv/versions/3.$minor*/bin/python3 "$HOME"/.pyenv/versions/3.$minor*/bin/python3 2>/dev/null || true
    done
    echo python3
}

# Prints the interpreter that runs, and is 3.12 or newer; PYTHON overrides.
find_python() {
    if [[ -n "${PYTHON:-}" ]]; then
        if is_supported_python "$PYTHON"; then echo "$PYTHON"; return 0; fi
        echo "error: PYTHON=$PYTHON is not a runnable Python 3.12 or newer" >&2
        return 1
    fi
    local candidate
    while read -r candidate; do
        if is_supported_python "$candidate"; then echo "$candidate"; return 0; fi
    done < <(python_candidates)
    echo "error: no Python 3.12 or newer found (tried python3.13, python3.12, pyenv versions, python3); set PYTHON=/path/to/python3.12" >&2
    return 1
}

# One runnable interpreter per minor version (3.12, 3.13, ...), for checking
# that one stable-ABI wheel imports on all of them.
find_all_pythons() {
    local candidate seen="" minor
    while read -r candidate; do
        is_supported_python "$candidate" || continue
        minor=$(python_query "$candidate" version)
        [[ " $seen " == *" $minor "* ]] && continue
        seen="$seen $minor"
        echo "$candidate"
    done < <( [[ -n "${PYTHON:-}" ]] && echo "$PYTHON"; python_candidates)
}

# Installs nothing: the build needs only a C++17 compiler (CMake, Ninja,
# nanobind and the rest come from PyPI; the FFT is vendored) and binutils'
# readelf for the wheel checks, both part of Debian's g++. Says what is
# missing instead of failing halfway through a build.
ensure_system_packages() {
    local missing=()
    command -v "${CXX:-c++}" >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 ||
        command -v clang++ >/dev/null 2>&1 || missing+=("a C++17 compiler")
    command -v readelf >/dev/null 2>&1 || missing+=("readelf")
    if (( ${#missing[@]} )); then
        echo "error: needs ${missing[*]} (Debian: apt-get install g++)" >&2
        return 1
    fi
}

# Creates (once) a virtual environment at $1 with interpreter $2.
ensure_venv() {
    local venv=$1 python=$2
    if [[ ! -x "$venv/bin/python" ]] || ! is_supported_python "$venv/bin/python"; then
        echo "== creating $venv with $("$python" --version)"
        rm -rf "$venv"
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
    fi
}

# Installs into the virtual environment $1 the PyPI packages $2... unless all
# are there already; the sanitizer builds use the environment's own CMake,
# Ninja and nanobind, so a clean machine needs nothing else.
ensure_venv_packages() {
    local venv=$1; shift
    if ! python_query "$venv/bin/python" installed "$@" >/dev/null 2>&1; then
        echo "== installing $* into $venv"
        "$venv/bin/python" -m pip install -q "$@"
    fi
}

# prepare_venv [PACKAGE...]: the set-up most scripts begin with. Sets
# `python` to a Python 3.12+ (find_python), checks the system packages the
# build needs, and makes the virtual environment `venv` (default
# $repo_root/.venv; a script may set `venv` first) with the PyPI packages
# named.
prepare_venv() {
    python=$(find_python)
    venv=${venv:-$repo_root/.venv}
    ensure_system_packages
    ensure_venv "$venv" "$python"
    if (( $# )); then
        ensure_venv_packages "$venv" "$@"
    fi
}

# cmake_configure SOURCE BUILD [CMAKE ARGUMENT...]: configures the build
# folder BUILD of the project in SOURCE with the CMake and Ninja of `venv`
# (prepare_venv installs them). A cache made by another checkout, source
# folder or generator cannot be reconfigured in place, so such a BUILD is
# removed first. Only CMake's warnings and errors are shown.
cmake_configure() {
    local source build cache
    source=$(cd "$1" && pwd) build=$2
    shift 2
    cache="$build/CMakeCache.txt"
    if [[ -f $cache ]] && ! { grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$source" "$cache" &&
                              grep -qxF "CMAKE_GENERATOR:INTERNAL=Ninja" "$cache"; }; then
        echo "== removing $build (configured elsewhere)"
        rm -rf "$build"
    fi
    "$venv/bin/cmake" -S "$source" -B "$build" -G Ninja --log-level=WARNING \
        -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" "$@" >/dev/null
}

# fail STEP: records a failed step of a script that runs every step even
# when an earlier one failed, and exits non-zero at the end if any did.
failed=()
fail() {
    echo "== FAILED: $1"
    failed+=("$1")
}

# The sound server the live-audio tests run against (PulseAudio, reached
# through PortAudio and ALSA's pulse plugin): installed with apt-get when
# this runs as root and they are missing; otherwise those tests skip and
# say why. Installing the package itself never needs them.
ensure_sound_server_packages() {
    local packages=(pulseaudio pulseaudio-utils libportaudio2 libasound2-plugins) missing=() package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    (( ${#missing[@]} )) || return 0
    if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null 2>&1; then
        echo "== the live-audio tests will skip: missing ${missing[*]} (apt-get install them as root)"
        return 0
    fi
    echo "== installing ${missing[*]} for the live-audio tests"
    apt_install --no-install-recommends "${missing[@]}" ||
        echo "== could not install ${missing[*]}: the live-audio tests will skip"
}

# Installs Debian packages (as root; arguments as for apt-get install): from
# the package lists the machine has, and once more after `apt-get update`
# when that fails (lists missing, or too old for the mirror).
apt_install() {
    local install=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600
                   install -y -q "$@")
    "${install[@]}" >/dev/null 2>&1 ||
        { apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null && "${install[@]}" >/dev/null; }
}
