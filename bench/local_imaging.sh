#!/bin/bash
# Local imaging benchmark: images one deterministic disk-like sample, attached as a
# loop device, with the job engine (bench/vt_bench_img) and with ewfacquire (plain
# and with glibc malloc tuning), side by side in each round, and prints throughput,
# ratios, output sizes and the job engine's peak resident memory.
#
# Usage: bench/local_imaging.sh [BUILD_DIR]        (run as root: losetup)
# Environment: SIZE_MIB (1024), ROUNDS (2), WORK_DIR (a new directory under /tmp),
#              KEEP=1 keeps the work directory, VERIFY=0 skips ewfverify,
#              BASELINE=PATH adds a column for another build of vt_bench_img (before/after).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-2}
work=${WORK_DIR:-$(mktemp -d /tmp/vt-bench.XXXXXX)}
tuned_env='glibc.malloc.trim_threshold=268435456:glibc.malloc.top_pad=1048576'
device=""

cleanup() {
    if [ -n "$device" ]; then losetup -d "$device" || true; fi
    if [ "${KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for tool in losetup ewfacquire ewfverify /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
mkdir -p "$work/out"

# The driver: the CMake target when the build has bench/ added, else built here
# against the build's static libraries.
driver=$build/bench/vt_bench_img
if [ ! -x "$driver" ]; then
    driver=$work/vt_bench_img
    for lib in vt-exa-img/libvt-img.a vt-exa/libvt-exa-lib.a vt-core/libvt-core.a; do
        [ -f "$build/$lib" ] || { echo "build $build lacks $lib (build target vt-img)" >&2; exit 1; }
    done
    g++ -std=c++20 -O2 -Wall -Wextra -I"$repo/vt-exa-img" -I"$repo/vt-core" -I"$repo/vt-exa" \
        "$repo/bench/vt_bench_img.cpp" -o "$driver" \
        "$build/vt-exa-img/libvt-img.a" "$build/vt-exa/libvt-exa-lib.a" "$build/vt-core/libvt-core.a" \
        $(pkg-config --libs jansson wolfssl liblz4 sqlite3 zlib) -lpthread
fi

sample=$work/sample.raw
"$driver" sample "$sample" "$size_mib"
device=$(losetup --find --show --read-only "$sample")
bytes=$(stat -c %s "$sample")
# Warm cache: both tools read the sample from the page cache, never from the disk.
dd if="$device" of=/dev/null bs=4M status=none

echo "sample: $size_mib MiB on $device (warm page cache), $(nproc) cores, $(date -u +%FT%TZ)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# run NAME COMMAND...: runs one imaging with the outputs emptied and dirty pages
# flushed first; sets secs, rss_kib and cpu (user + system seconds).
run() {
    local name=$1; shift
    rm -f "$work/out/"*
    sync
    local start end
    start=$(date +%s.%N)
    /usr/bin/time -f '%M %U %S' -o "$work/time.$name" "$@" >"$work/log.$name" 2>&1 ||
        { echo "$name failed:" >&2; cat "$work/log.$name" >&2; exit 1; }
    end=$(date +%s.%N)
    secs=$(echo "$end - $start" | bc -l)
    read -r rss_kib user_s sys_s < <(tail -n1 "$work/time.$name")
    cpu=$(echo "$user_s + $sys_s" | bc -l)
    cpu_total[$name]=$(echo "${cpu_total[$name]:-0} + $cpu" | bc -l)
}
declare -A cpu_total

mibps() { echo "scale=1; $bytes / 1048576 / $1" | bc -l; }

ewf_args=(-u -q -c deflate:fast -d sha1 -S 64GiB -C bench -D sample -e bench -E 1 -N local-imaging
          -t "$work/out/ewf" "$device")
best_vt=0; best_ewf=0; best_tuned=0
printf '%-6s %10s %10s %10s %9s %9s %10s\n' round vt_MiB/s ewf_MiB/s tuned_MiB/s vt/ewf vt/tuned vt_rss_MiB
for round in $(seq 1 "$rounds"); do
    run vt "$driver" "$device" "$work/out" vt
    vt=$(mibps "$secs"); vt_rss=$rss_kib; vt_size=$(stat -c %s "$work/out/vt.E01")
    grep -q '^complete=1' "$work/log.vt" || { echo "vt run incomplete" >&2; exit 1; }
    if [ "${VERIFY:-1}" = 1 ] && [ "$round" = 1 ]; then
        ewfverify -q "$work/out/vt.E01" >"$work/verify.log" 2>&1 ||
            { echo "ewfverify failed on the job engine's image" >&2; cat "$work/verify.log" >&2; exit 1; }
    fi
    run ewf ewfacquire "${ewf_args[@]}"
    ewf=$(mibps "$secs"); ewf_size=$(stat -c %s "$work/out/ewf.E01")
    run tuned env GLIBC_TUNABLES=$tuned_env ewfacquire "${ewf_args[@]}"
    tuned=$(mibps "$secs"); tuned_size=$(stat -c %s "$work/out/ewf.E01")
    base_column=""
    if [ -n "${BASELINE:-}" ]; then
        run base "$BASELINE" "$device" "$work/out" base
        base=$(mibps "$secs"); base_column="  baseline $base MiB/s"
    fi
    printf '%-6s %10s %10s %10s %9s %9s %10s%s\n' "$round" "$vt" "$ewf" "$tuned" \
        "$(echo "scale=2; $vt / $ewf" | bc -l)" "$(echo "scale=2; $vt / $tuned" | bc -l)" \
        "$(echo "scale=1; $vt_rss / 1024" | bc -l)" "$base_column"
    best_vt=$(echo "if ($vt > $best_vt) $vt else $best_vt" | bc -l)
    best_ewf=$(echo "if ($ewf > $best_ewf) $ewf else $best_ewf" | bc -l)
    best_tuned=$(echo "if ($tuned > $best_tuned) $tuned else $best_tuned" | bc -l)
done

echo "best runs: job engine $best_vt MiB/s, ewfacquire $best_ewf MiB/s, tuned ewfacquire $best_tuned MiB/s"
echo "ratios of best runs: job engine / ewfacquire = $(echo "scale=2; $best_vt / $best_ewf" | bc -l)" \
     "(target >= 2.5), job engine / tuned ewfacquire = $(echo "scale=2; $best_vt / $best_tuned" | bc -l)" \
     "(target >= 1.4)"
echo "output sizes: job engine $vt_size bytes, ewfacquire $ewf_size bytes (tuned $tuned_size)," \
     "job engine / ewfacquire = $(echo "scale=4; $vt_size / $ewf_size" | bc -l) (target <= 1.01)"
echo "job engine peak resident memory: $(echo "scale=1; $vt_rss / 1024" | bc -l) MiB (target < 64)"
if [ "${VERIFY:-1}" = 1 ]; then echo "ewfverify: job engine image of round 1 verified"; fi
echo "CPU seconds per run (user + system, mean): job engine $(echo "scale=2; ${cpu_total[vt]} / $rounds" | bc -l)," \
     "ewfacquire $(echo "scale=2; ${cpu_total[ewf]} / $rounds" | bc -l)," \
     "tuned ewfacquire $(echo "scale=2; ${cpu_total[tuned]} / $rounds" | bc -l)" \
     "${BASELINE:+, baseline $(echo "scale=2; ${cpu_total[base]:-0} / $rounds" | bc -l)}"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
