#!/usr/bin/env bash
# build.sh <dir> [cmake args...]: configures (once) and builds one build tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
export CCACHE_BASEDIR="$root"
if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir"
