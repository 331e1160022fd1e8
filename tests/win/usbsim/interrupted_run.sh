#!/usr/bin/env bash
# scripts/usbsim run by hand and interrupted: the wine server it started must not outlive it,
# and a server that a run killed outright left behind must not make the next run fail silently.
#   tests/win/usbsim/interrupted_run.sh PREFIX
set -uo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
prefix=${1:?usage: interrupted_run.sh PREFIX}
topology=$root/tests/data/fixtures/two-keys-behind-hub.json
export KELDAR_USBSIM_PREFIX=$prefix
fail() { echo "interrupted_run: $*" >&2; exit 1; }
# Whether a server holds the prefix; ends it if so (wineserver -k answers 0 only then).
server_left() { (source "$root/scripts/wine-env" && WINEPREFIX=$(cd "$prefix" && pwd) wineserver -k 2>/dev/null); }

# 1. A run stopped by a signal while its command runs.
mkdir -p "$prefix"
marker=$(cd "$prefix" && pwd)/command-started
rm -f "$marker"
"$root/scripts/usbsim" "$topology" -- bash -c 'touch "$1"; exec sleep 60' marker "$marker" &
run=$!
for _ in $(seq 240); do [[ -f "$marker" ]] && break; sleep 0.5; done
[[ -f "$marker" ]] || fail "the command never started"
kill -TERM "$run"
wait "$run"
status=$?
[[ $status -eq 143 ]] || fail "a run ended by SIGTERM exited $status, not 143"
server_left && fail "the wine server outlived a run ended by SIGTERM"

# 2. A server left behind (as kill -9 of a run leaves it): the next run recovers and says so.
(source "$root/scripts/wine-env" && WINEPREFIX=$(cd "$prefix" && pwd) wineserver -p)
"$root/scripts/usbsim" "$topology" -- true >/dev/null 2>"$prefix/usbsim/stderr.txt"
status=$?
[[ $status -eq 0 ]] || fail "the run after a stale server exited $status: $(cat "$prefix/usbsim/stderr.txt")"
grep -q "stopped a wine server that an earlier, interrupted run left" "$prefix/usbsim/stderr.txt" ||
  fail "the run after a stale server did not say it stopped it"
server_left && fail "the wine server outlived a run that ended normally"
echo "interrupted_run: ok"
