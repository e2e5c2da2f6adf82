#!/usr/bin/env bash
# Everything the denoise quality benchmark needs and the project does not:
# espeak-ng (the corpus's talkers) and libspeexdsp (a peer) from Debian, and
# the peers and metrics from PyPI in a virtual environment of its own, so
# none of it reaches the project's .venv or the README's two commands.
#
#   bench/denoise/setup.sh            # PYTHON=/path/to/python3.12 to choose
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
venv="${BENCH_VENV:-$root/build/denoise-venv}"

sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
missing=()
command -v espeak-ng >/dev/null || missing+=(espeak-ng)
[ -e /usr/include/speex/speex_preprocess.h ] || missing+=(libspeexdsp-dev)
if [ ${#missing[@]} -gt 0 ]; then
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

# The project's interpreter is 3.12+; the benchmark loads the module built
# for it, so it runs on the same one.
python="${PYTHON:-}"
if [ -z "$python" ]; then
    for candidate in "$root/.venv/bin/python" python3.12 python3.13 python3; do
        if "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
            python="$candidate"; break
        fi
    done
fi
[ -n "$python" ] || { echo "no Python 3.12+ found; set PYTHON" >&2; exit 1; }
# The project's .venv is itself a venv: build from the interpreter behind it.
base="$("$python" -c 'import sys; print(sys._base_executable)')"
[ -x "$venv/bin/python" ] || "$base" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r "$here/requirements.txt"
echo "benchmark environment ready: $venv"
