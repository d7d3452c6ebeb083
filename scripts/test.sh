#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
# Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
shift || true

"$root/scripts/setup.sh" "$build" "$@"
cd "$build"
ctest --output-on-failure -j"$(nproc)"
