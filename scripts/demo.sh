#!/usr/bin/env bash
# Sets up, builds and runs the updater's main job. For now that is its version line
# and usage; the store goes to a temporary directory, never the real home directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
bin=build/plain/src/updater
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT
echo "\$ updater"
"$bin" -i "$store"
echo
echo "\$ updater -h"
"$bin" -i "$store" -h
