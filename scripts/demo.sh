#!/usr/bin/env bash
# The whole product on one machine: a subject agent on loopback serves a generated
# sample disk; the examiner caches the subject, acquires the disk into an E01 file
# (verified by an independent reader), mounts the same disk live as a read-only file
# and compares it with the source. Every state directory lives in a temporary folder,
# so the machine's real state is untouched, and everything started is stopped again.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/setup.sh" "$build"
imager=$build/vt-exa-img/vt_imager
accel=$build/vt-exa/vt_accel
agent=$build/vt-agent/vt_agent

work=$(mktemp -d /tmp/vantrel-demo.XXXXXX)
export VANTREL_STATE_DIR=$work/state VANTREL_SOCKET_DIR=$work/sockets
mkdir -p "$VANTREL_SOCKET_DIR" "$work/images" "$work/mnt"
agent_pid=
subject=
cleanup() {
  set +e
  [[ -n $subject ]] && "$accel" umount -s "$subject" -t disk0 >/dev/null 2>&1
  awk -v dir="$work/mnt" 'index($2, dir) == 1 {print $2}' /proc/mounts |
    while read -r mountpoint; do fusermount -u -z "$mountpoint"; done
  [[ -n $agent_pid ]] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

step "Generating a 64 MiB sample disk (zeros, random data, text records)"
sample=$work/sample.raw
{
  head -c 16M /dev/zero
  head -c 16M /dev/urandom
  head -c 16M < <(yes "case record: evidence item, examiner note, timestamp")
  head -c 16M /dev/zero
} >"$sample"
source_sha1=$(sha1sum "$sample" | cut -d' ' -f1)
echo "source SHA-1: $source_sha1"

step "Starting the subject agent on loopback"
printf 'demo-password' >"$work/password"
"$agent" --listen 127.0.0.1:0 --port-file "$work/port" --user examiner \
  --password-file "$work/password" --target "disk0=$sample" &
agent_pid=$!
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.1; done
subject=127.0.0.1:$(cat "$work/port")/sub
echo "agent $agent_pid listening at $subject"

step "Caching the subject and its targets"
"$accel" add -s "$subject" -u examiner -p demo-password
"$accel" cache

step "Acquiring disk0 into an E01 file"
printf 'DEMO-001\nITEM-1\nDemo Examiner\nAcquired by the demo\nSample disk\n' |
  "$imager" start -n demo -s "$subject" -t disk0 -u examiner -p demo-password -m md5,sha1 \
    -o "$work/images"
"$imager" status

step "Verifying the E01 file with ewfverify"
ewfverify -q "$work/images/demo.E01"

step "Mounting disk0 live as a read-only file"
"$accel" mount -s "$subject" -t disk0 -m "$work/mnt" -u examiner -p demo-password --daemon
mounted=$(find "$work/mnt" -type f -name disk0 | head -n 1)
ls -l "$mounted"
mounted_sha1=$(sha1sum "$mounted" | cut -d' ' -f1)
echo "mounted SHA-1: $mounted_sha1"
"$accel" umount -s "$subject" -t disk0

if [[ $mounted_sha1 != "$source_sha1" ]]; then
  echo "The mounted disk differs from the source." >&2
  exit 1
fi
echo
echo "Demo complete: the E01 file verifies and the live mount equals the source."
