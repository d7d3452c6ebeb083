#!/bin/bash
# Mounted-target read benchmark: a 1 GiB file served by vt_agent on loopback, mounted
# with `vt_accel mount --daemon`, read sequentially through the mount with
# `dd bs=1M of=/dev/null`; beside it in every round the same file read locally from
# the page cache. Prints throughput, the ratio, and the CPU seconds of the mounter
# daemon (all threads, and its busiest thread: the channel's reader, which decrypts
# every response) and of the agent during each mounted read.
#
# Usage: bench/mount_read.sh [BUILD_DIR]        (run as root: FUSE mounts)
# Environment: SIZE_MIB (1024), ROUNDS (2), WORK_DIR (a new directory under /tmp),
#              KEEP=1 keeps the work directory,
#              READ_AHEAD_KB: when set, the mount's read-ahead window (sysfs bdi) is set
#              to this many KiB before the rounds, to see how far read-ahead bounds it.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-2}
work=${WORK_DIR:-$(mktemp -d /tmp/vt-bench-mount.XXXXXX)}
accel=$build/vt-exa/vt_accel
agent=$build/vt-agent/vt_agent
agent_pid=""
mount_dir=""
host=""
user=examiner
password=bench-pass
ticks=$(getconf CLK_TCK)

export VANTREL_STATE_DIR=$work/state VANTREL_SOCKET_DIR=$work/sock

cleanup() {
    if [ -n "$host" ]; then "$accel" umount -s "$host" -t disk0 >/dev/null 2>&1 || true; fi
    if [ -n "$mount_dir" ] && mountpoint -q "$mount_dir" 2>/dev/null; then
        fusermount -u -z "$mount_dir" || true
    fi
    if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; wait "$agent_pid" 2>/dev/null || true; fi
    if [ "${KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for tool in "$accel" "$agent" fusermount mountpoint dd awk; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

now() { date +%s.%N; }
# user + system CPU ticks of one process
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# "tid ticks" of every thread of a process
thread_ticks() { for t in /proc/"$1"/task/*; do echo "${t##*/} $(awk '{print $14 + $15}' "$t/stat")"; done; }
# CPU seconds of the busiest thread between two thread_ticks listings
busiest() { awk -v t="$ticks" 'NR == FNR {a[$1] = $2; next} {d = $2 - a[$1]; if (d > m) m = d} END {printf "%.2f", m / t}' "$1" "$2"; }
# seconds between two `now` values, and MiB/s for the sample's size
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", b - a}'; }
rate() { awk -v s="$1" -v m="$size_mib" 'BEGIN {printf "%.1f", m / s}'; }

mkdir -p "$work/state/cache" "$work/sock" "$work/mnt"
sample=$work/sample.img
echo "sample: $size_mib MiB of random bytes at $sample"
dd if=/dev/urandom of="$sample" bs=1M count="$size_mib" status=none
printf '%s' "$password" >"$work/agent.password"

"$agent" --listen 127.0.0.1:0 --port-file "$work/agent.port" --user "$user" \
    --password-file "$work/agent.password" --target "disk0=$sample" >/dev/null 2>&1 &
agent_pid=$!
for _ in $(seq 100); do [ -s "$work/agent.port" ] && break; sleep 0.1; done
port=$(cat "$work/agent.port")

"$accel" add -s "127.0.0.1:$port" -u "$user" -p "$password" >/dev/null
host=$(sed -n 's/.*"hostname": "\([^"]*\)".*/\1/p' "$work"/state/cache/*/subject | head -1)
mount_dir=$work/mnt/$host/disk0
"$accel" mount -s "$host" -t disk0 -m "$work/mnt" -u "$user" -p "$password" --daemon >/dev/null
daemon_pid=$(cat "$work"/state/cache/*/*/pid | tr -d ' ')
file=$mount_dir/disk0
[ "$(stat -c %s "$file")" -eq $((size_mib * 1048576)) ] || { echo "mounted file has the wrong size" >&2; exit 1; }

bdi=/sys/class/bdi/$(mountpoint -d "$mount_dir")
if [ -n "${READ_AHEAD_KB:-}" ]; then echo "$READ_AHEAD_KB" >"$bdi/read_ahead_kb"; fi
echo "mount read-ahead: $(cat "$bdi/read_ahead_kb") KiB; mount options: $(grep " $mount_dir " /proc/mounts | cut -d' ' -f4)"

# The local reads come from the page cache after this one.
dd if="$sample" of=/dev/null bs=1M status=none

printf '%-6s %10s %10s %10s %8s %12s %14s %10s\n' round local_MiB/s mount_MiB/s mount_s ratio accel_cpu_s busiest_thread agent_cpu_s
for round in $(seq "$rounds"); do
    t0=$(now); dd if="$sample" of=/dev/null bs=1M status=none; t1=$(now)
    local_s=$(elapsed "$t0" "$t1")

    # No cache to drop: the file system's open keeps no page cache, so the kernel
    # drops the file's pages at every open and each round reads through the subject.
    a0=$(cpu_ticks "$daemon_pid"); g0=$(cpu_ticks "$agent_pid"); thread_ticks "$daemon_pid" >"$work/threads0"
    t0=$(now); dd if="$file" of=/dev/null bs=1M status=none; t1=$(now)
    a1=$(cpu_ticks "$daemon_pid"); g1=$(cpu_ticks "$agent_pid"); thread_ticks "$daemon_pid" >"$work/threads1"
    mount_s=$(elapsed "$t0" "$t1")

    printf '%-6s %10s %10s %10s %8s %12s %14s %10s\n' "$round" "$(rate "$local_s")" "$(rate "$mount_s")" \
        "$mount_s" "$(awk -v l="$local_s" -v m="$mount_s" 'BEGIN {printf "%.1fx", m / l}')" \
        "$(awk -v a="$((a1 - a0))" -v t="$ticks" 'BEGIN {printf "%.2f", a / t}')" \
        "$(busiest "$work/threads0" "$work/threads1")" \
        "$(awk -v a="$((g1 - g0))" -v t="$ticks" 'BEGIN {printf "%.2f", a / t}')"
done
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u +%FT%TZ)"
