#!/usr/bin/env bash
# The end-to-end demo. The acquisition demo needs the subject agent and the
# remote source, which are still being built; for now this builds the toolkit
# and shows the imager's help.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/setup.sh" "$build"
"$build/vt-exa-img/vt_imager" -h
