#!/usr/bin/env bash
# Builds the fuzz harnesses with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a number of seconds over its
# seed corpus in fuzz/corpus/<name>/. New inputs go to a working corpus in the
# build directory, so the committed seeds stay small; crash, leak and timeout
# inputs land in <build>/fuzz-artifacts/. Exits non-zero when any harness failed.
#
# Usage: scripts/fuzz.sh [-s seconds] [-j parallel] [-b build-dir] [--seed] [name...]
#   -s  seconds per harness (default 600)
#   -j  harnesses run at the same time (default 1)
#   -b  build directory (default build-fuzz)
#   --seed  regenerate fuzz/corpus from fuzz_make_corpus before running
#   name    harnesses to run (default: every fuzz/fuzz_<name>.cpp)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=600
parallel=1
build=$root/build-fuzz
seed=0
names=()
while (($#)); do
  case $1 in
    -s) seconds=$2; shift 2 ;;
    -j) parallel=$2; shift 2 ;;
    -b) build=$2; shift 2 ;;
    --seed) seed=1; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) names+=("$1"); shift ;;
  esac
done
if ((${#names[@]} == 0)); then
  for source in "$root"/fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    names+=("${name#fuzz_}")
  done
fi

# What the framework links against, and clang with its libFuzzer runtime; only
# what is missing is installed.
packages=(cmake pkg-config libsqlite3-dev libwolfssl-dev libjansson-dev liblz4-dev zlib1g-dev
          clang libclang-rt-14-dev)
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

# Every object, the framework included, carries the fuzzer's coverage hooks and
# both sanitizers; only the harnesses link the libFuzzer driver.
sanitize="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVT_FUZZ=ON -DVT_TESTS=OFF \
  -DCMAKE_C_FLAGS="$sanitize" -DCMAKE_CXX_FLAGS="$sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
targets=()
for name in "${names[@]}"; do targets+=("fuzz_$name"); done
((seed)) && targets+=(fuzz_make_corpus)
cmake --build "$build" --target "${targets[@]}" -j"$(nproc)"

if ((seed)); then
  ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/fuzz_make_corpus" "$root/fuzz/corpus"
fi

logs=$build/fuzz-logs
artifacts=$build/fuzz-artifacts
mkdir -p "$logs" "$artifacts"

# One harness: the working corpus first (libFuzzer writes new inputs there), the
# committed seeds second (only read).
run_one() {
  local name=$1 work=$build/fuzz-corpus/$1
  mkdir -p "$work"
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
    "$work" "$root/fuzz/corpus/$name" >"$logs/$name.log" 2>&1
}

declare -A pids=()
failed=()
wait_one() {
  local pid name
  wait -n -p pid || true
  for name in "${!pids[@]}"; do
    if [[ ${pids[$name]} == "$pid" ]]; then
      wait "$pid" 2>/dev/null && status=0 || status=$?
      ((status == 0)) || failed+=("$name")
      unset "pids[$name]"
    fi
  done
}
for name in "${names[@]}"; do
  while ((${#pids[@]} >= parallel)); do wait_one; done
  echo "fuzz_$name: ${seconds}s over fuzz/corpus/$name (log $logs/$name.log)"
  run_one "$name" &
  pids[$name]=$!
done
while ((${#pids[@]})); do wait_one; done

for name in "${names[@]}"; do
  last=$(grep -E '^#[0-9]+' "$logs/$name.log" | tail -n 1 || true)
  echo "fuzz_$name: ${last:-no run}"
done
if ((${#failed[@]})); then
  echo "failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
