#!/usr/bin/env bash
# The denoise quality benchmark in one command: sets up its environment
# (bench/denoise/setup.sh), builds the module from this tree, runs run.py.
#   bench/denoise/run.sh [--quick] [--label NAME] [...]   (see run.py --help)
# MODULE_DIR=DIR scores a module built elsewhere instead.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
venv="${BENCH_VENV:-$root/build/denoise-venv}"
[ -x "$venv/bin/python" ] && command -v espeak-ng >/dev/null || "$here/setup.sh"
module_dir="${MODULE_DIR:-}"
if [ -z "$module_dir" ]; then
    module_dir="$root/build/denoise-module"
    "$venv/bin/cmake" -S "$root" -B "$module_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$venv/bin/python" -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" >/dev/null
    "$venv/bin/cmake" --build "$module_dir" --target _tavix_module >/dev/null
fi
# numpy's BLAS threads would spin on the second core while methods are timed.
export OPENBLAS_NUM_THREADS=1
PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" exec "$venv/bin/python" "$here/run.py" "$@"
