#!/bin/bash
# Remote imaging benchmark: the sample of bench/local_imaging.sh, attached as a loop
# device and served by vt_agent on loopback, imaged by the job engine over the
# encrypted session (MD5 + SHA-1); beside it in every round the same job done with
# `nc | ewfacquirestream` over loopback, and local imaging with the job engine.
# Prints throughput, ratios, CPU seconds of imager and agent, and how busy the
# channel's reader thread is (the one thread that decrypts every frame).
#
# Usage: bench/remote_imaging.sh [BUILD_DIR]       (run as root: losetup, apt-get)
# Environment: SIZE_MIB (1024), ROUNDS (2), WORK_DIR (a new directory under /tmp),
#              KEEP=1 keeps the work directory, VERIFY=0 skips ewfverify,
#              SAMPLE_MS (250): period of the per-thread CPU samples of the imager.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-2}
sample_ms=${SAMPLE_MS:-250}
work=${WORK_DIR:-$(mktemp -d /tmp/vt-bench-remote.XXXXXX)}
device=""
agent_pid=""
ticks=$(getconf CLK_TCK)

cleanup() {
    if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; wait "$agent_pid" 2>/dev/null || true; fi
    if [ -n "$device" ]; then losetup -d "$device" || true; fi
    if [ "${KEEP:-0}" != 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! command -v nc >/dev/null; then
    apt-get install -y netcat-openbsd >/dev/null 2>&1 ||
        { apt-get update >/dev/null && apt-get install -y netcat-openbsd >/dev/null; }
fi
for tool in losetup nc ewfacquirestream ewfverify ewfinfo python3 /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
if ! nc -h 2>&1 | grep -q OpenBSD; then echo "nc is not OpenBSD netcat (needs -N, -d)" >&2; exit 1; fi

driver=$build/bench/vt_bench_img
agent=$build/vt-agent/vt_agent
if [ ! -x "$driver" ] || [ ! -x "$agent" ]; then
    cmake --build "$build" --target vt_bench_img vt_agent -j2 >/dev/null
fi
mkdir -p "$work/out" "$work/state"
# The job engine keeps nothing under the state root here, but nothing may touch
# the machine's own.
export VANTREL_STATE_DIR=$work/state VANTREL_SOCKET_DIR=$work/state

sample=$work/sample.raw
"$driver" sample "$sample" "$size_mib"
device=$(losetup --find --show --read-only "$sample")
bytes=$(stat -c %s "$sample")
# Warm cache: every tool reads the sample from the page cache, never from the disk.
dd if="$device" of=/dev/null bs=4M status=none

user=bench
printf '%s' 'bench pass' >"$work/password"
"$agent" --listen 127.0.0.1:0 --port-file "$work/port" --user "$user" \
    --password-file "$work/password" --target "disk0=$device" >"$work/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "vt_agent did not start:" >&2; cat "$work/agent.log" >&2; exit 1; }
subject=127.0.0.1:$(cat "$work/port")/sub

echo "sample: $size_mib MiB on $device (warm page cache), vt_agent pid $agent_pid at $subject"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(date -u +%FT%TZ)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# utime + stime of a process or thread from its stat file, in clock ticks, into
# cpu_out (0 when it is gone); no subshell, so the sampler itself stays cheap.
cpu_ticks() {
    local line
    cpu_out=0
    read -r line 2>/dev/null <"$1" || return 0
    # shellcheck disable=SC2086
    set -- ${line##*) }
    cpu_out=$((${12} + ${13}))
}

# sample_threads PID OUT: until PID is gone, records each thread's CPU ticks, name
# and how often it was seen inside recvfrom (syscall 45: the channel's reader).
sample_threads() {
    local pid=$1 out=$2 period
    period=$(echo "scale=3; $sample_ms / 1000" | bc -l)
    declare -A last name recv
    while [ -d "/proc/$pid" ]; do
        for task in /proc/"$pid"/task/*; do
            local tid=${task##*/} comm sc
            cpu_ticks "$task/stat"
            [ "$cpu_out" -gt 0 ] && last[$tid]=$cpu_out
            read -r comm 2>/dev/null <"$task/comm" && name[$tid]=$comm
            read -r sc _ 2>/dev/null <"$task/syscall" || sc=""
            [ "$sc" = 45 ] && recv[$tid]=$((${recv[$tid]:-0} + 1))
        done
        sleep "$period"
    done
    for tid in "${!last[@]}"; do
        echo "$tid ${last[$tid]} ${recv[$tid]:-0} ${name[$tid]:-?}"
    done | sort -k2,2nr >"$out"
}

# run NAME COMMAND...: one timed imaging with outputs emptied and dirty pages flushed
# first; sets secs and cpu (user + system seconds of the command and its children).
run() {
    local name=$1; shift
    rm -f "$work/out/"*
    sync
    local start end
    start=$(date +%s.%N)
    /usr/bin/time -f '%U %S' -o "$work/time.$name" "$@" >"$work/log.$name" 2>&1 ||
        { echo "$name failed:" >&2; cat "$work/log.$name" >&2; exit 1; }
    end=$(date +%s.%N)
    secs=$(echo "$end - $start" | bc -l)
    local user_s sys_s
    read -r user_s sys_s < <(tail -n1 "$work/time.$name")
    cpu=$(echo "$user_s + $sys_s" | bc -l)
}

mibps() { echo "scale=1; $bytes / 1048576 / $1" | bc -l; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }
best() { echo "if ($1 > $2) $1 else $2" | bc -l; }

# Remote: the driver images the agent's target; the agent's CPU is read from its
# stat file before and after, the imager's threads are sampled while it runs.
run_remote() {
    rm -f "$work/out/"*
    sync
    local agent_before start end user_s sys_s pid
    cpu_ticks "/proc/$agent_pid/stat"
    agent_before=$cpu_out
    start=$(date +%s.%N)
    /usr/bin/time -f '%U %S' -o "$work/time.remote" \
        "$driver" remote "$subject" disk0 "$user" "$work/password" "$work/out" remote \
        >"$work/log.remote" 2>&1 &
    local time_pid=$!
    pid=""
    for _ in $(seq 200); do pid=$(pgrep -P "$time_pid" || true); [ -n "$pid" ] && break; sleep 0.01; done
    [ -n "$pid" ] && sample_threads "$pid" "$work/threads.remote"
    wait "$time_pid" || { echo "remote imaging failed:" >&2; cat "$work/log.remote" >&2; exit 1; }
    end=$(date +%s.%N)
    grep -q '^complete=1' "$work/log.remote" || { echo "remote run incomplete" >&2; exit 1; }
    secs=$(echo "$end - $start" | bc -l)
    read -r user_s sys_s < <(tail -n1 "$work/time.remote")
    cpu=$(echo "$user_s + $sys_s" | bc -l)
    cpu_ticks "/proc/$agent_pid/stat"
    agent_cpu=$(echo "scale=2; ($cpu_out - $agent_before) / $ticks" | bc -l)
    # The reader: the thread most often seen in recvfrom; else the busiest one.
    local tid t hits comm
    read -r tid t hits comm < <(sort -k3,3nr -k2,2nr "$work/threads.remote" | head -n1)
    reader_cpu=$(echo "scale=2; $t / $ticks" | bc -l)
    reader_busy=$(echo "scale=0; 100 * $t / $ticks / $secs" | bc -l)
    reader_note="tid $tid ($comm), seen in recvfrom in $hits samples"
    threads_line=$(awk -v k="$ticks" '{ printf "%s%.2f", (NR > 1 ? " " : ""), $2 / k }' "$work/threads.remote")
}

# nc | ewfacquirestream: the receiving pipeline listens, the sending nc streams the
# device; timed from the sender's start to the pipeline's end.
run_nc() {
    rm -f "$work/out/"*
    sync
    local port start end user_s sys_s
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    /usr/bin/time -f '%U %S' -o "$work/time.nc" bash -c \
        'nc -d -l 127.0.0.1 "$1" | ewfacquirestream -q -c deflate:fast -d sha1 -S 64GiB -C bench \
             -D sample -e bench -E 1 -N "remote imaging benchmark" -t "$2"' _ "$port" "$work/out/nc" \
        >"$work/log.nc" 2>&1 &
    local pipe_pid=$!
    for _ in $(seq 200); do
        ss -ltn "sport = :$port" 2>/dev/null | grep -q LISTEN && break; sleep 0.01
    done
    start=$(date +%s.%N)
    /usr/bin/time -f '%U %S' -o "$work/time.nc_send" nc -N 127.0.0.1 "$port" <"$device" ||
        { echo "sending nc failed" >&2; exit 1; }
    wait "$pipe_pid" || { echo "nc | ewfacquirestream failed:" >&2; cat "$work/log.nc" >&2; exit 1; }
    end=$(date +%s.%N)
    grep -q 'SUCCESS' "$work/log.nc" || { echo "ewfacquirestream did not succeed" >&2; exit 1; }
    secs=$(echo "$end - $start" | bc -l)
    read -r user_s sys_s < <(tail -n1 "$work/time.nc")
    cpu=$(echo "$user_s + $sys_s" | bc -l)
    read -r user_s sys_s < <(tail -n1 "$work/time.nc_send")
    send_cpu=$(echo "$user_s + $sys_s" | bc -l)
    nc_md5=$(sed -n 's/^MD5 hash calculated over data:[[:space:]]*//p' "$work/log.nc")
}

best_remote=0; best_nc=0; best_local=0
printf '%-5s %9s %9s %9s %9s %9s | %8s %8s %8s %8s %8s | %s\n' round remote nc_ewf local \
    rem/nc rem/local imagerCPU agentCPU ncewfCPU sendCPU localCPU "reader thread"
for round in $(seq 1 "$rounds"); do
    run_remote
    remote=$(mibps "$secs"); remote_cpu=$cpu
    remote_md5=$(ewfinfo "$work/out/remote.E01" | sed -n 's/^[[:space:]]*MD5:[[:space:]]*//p')
    if [ "${VERIFY:-1}" = 1 ] && [ "$round" = 1 ]; then
        ewfverify -q "$work/out/remote.E01" >"$work/verify.log" 2>&1 ||
            { echo "ewfverify failed on the remote image" >&2; cat "$work/verify.log" >&2; exit 1; }
    fi
    run_nc
    ncewf=$(mibps "$secs"); nc_cpu=$cpu
    [ "$nc_md5" = "$remote_md5" ] || { echo "MD5 differs: remote $remote_md5, nc $nc_md5" >&2; exit 1; }
    run local "$driver" "$device" "$work/out" local
    grep -q '^complete=1' "$work/log.local" || { echo "local run incomplete" >&2; exit 1; }
    local_mibps=$(mibps "$secs"); local_cpu=$cpu
    printf '%-5s %9s %9s %9s %9s %9s | %8s %8s %8s %8s %8s | %s%% busy, %ss CPU\n' "$round" "$remote" \
        "$ncewf" "$local_mibps" "$(ratio "$remote" "$ncewf")" "$(ratio "$remote" "$local_mibps")" \
        "$remote_cpu" "$agent_cpu" "$nc_cpu" "$send_cpu" "$local_cpu" "$reader_busy" "$reader_cpu"
    echo "      imager threads (CPU s, busiest first): $threads_line; reader: $reader_note"
    best_remote=$(best "$remote" "$best_remote")
    best_nc=$(best "$ncewf" "$best_nc")
    best_local=$(best "$local_mibps" "$best_local")
done

echo "MD5 of the sample (remote image and ewfacquirestream agree): $remote_md5"
if [ "${VERIFY:-1}" = 1 ]; then echo "ewfverify: remote image of round 1 verified"; fi
echo "best runs (MiB/s): remote $best_remote, nc | ewfacquirestream $best_nc, local $best_local"
echo "ratios of best runs: remote / nc-ewfacquirestream = $(ratio "$best_remote" "$best_nc") (target >= 1.5)," \
     "remote / local = $(ratio "$best_remote" "$best_local") (target >= 0.65)"
echo "CPU columns: imager = driver process (user + system), agent = vt_agent's stat delta," \
     "ncewf = receiving nc + ewfacquirestream, send = sending nc, local = driver on the loop device"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
