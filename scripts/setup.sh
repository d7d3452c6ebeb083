#!/usr/bin/env bash
# Installs the Debian packages the toolkit needs (only those missing), then
# configures and builds. Usage: scripts/setup.sh [build-dir] [extra cmake args...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
shift || true

packages=(
  build-essential cmake pkg-config
  libsqlite3-dev libwolfssl-dev libjansson-dev liblz4-dev zlib1g-dev
  libfuse-dev fuse
  googletest libgtest-dev
  ewf-tools
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  as_root=()
  [[ $(id -u) -eq 0 ]] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
