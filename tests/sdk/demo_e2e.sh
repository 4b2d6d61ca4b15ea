#!/usr/bin/env bash
# scripts/demo end to end on programs already built: it succeeds, leaves one readable WAV file of
# 3 s per tuner unit, and stops the emulator it started, also when it is told to stop early.
# Usage: demo_e2e.sh SOURCE_DIR BUILD_DIR WAV_CHECK
set -euo pipefail
src=$1 build=$2 wav_check=$3
export QM412_BUILD_DIR=$build
run_dir="$build/demo-run"
log="$build/demo-e2e.out"

fail() { echo "FAIL: $*" >&2; exit 1; }
emulator_pid() { sed -n 's/.*(pid \([0-9]*\)).*/\1/p' "$log" | head -n 1; }

"$src/scripts/demo" >"$log" 2>&1 || { cat "$log"; fail "the demo failed"; }
cat "$log"
pid=$(emulator_pid)
[ -n "$pid" ] || fail "the demo did not say which emulator it started"
! kill -0 "$pid" 2>/dev/null || fail "the emulator $pid still runs after the demo"
for unit in 1 2 3 4; do
  "$wav_check" "$run_dir/qm412-unit$unit.wav" 48000 144000 0.5 0.25
done
grep -q "station \"EMU 4\"" "$log" || fail "no RDS in the demo's output"
grep -q "unit 3  101.150 MHz" "$log" || fail "tuning not shown"

# Stopped early: the demo must still stop its emulator.
"$src/scripts/demo" >"$log" 2>&1 &
demo=$!
for _ in $(seq 100); do
  pid=$(emulator_pid)
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { kill "$demo" 2>/dev/null; fail "the second demo run did not start its emulator"; }
kill -TERM "$demo"
rc=0
wait "$demo" || rc=$?
[ "$rc" -ne 0 ] || fail "the demo reported success although it was stopped"
! kill -0 "$pid" 2>/dev/null || { kill "$pid"; fail "the emulator $pid outlived the stopped demo"; }
echo "demo end to end: passed"
