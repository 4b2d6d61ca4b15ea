#!/usr/bin/env bash
# The command-line tool end to end against qm412-emu on 127.0.0.1: every command, --json output,
# exit codes, the library's own words on failure, and WAV files that an independent reader accepts.
# Usage: cli_e2e.sh QM412 QM412_EMU WAV_CHECK WORK_DIR
set -euo pipefail
qm412=$1 emu=$2 wav_check=$3 work=$4

rm -rf "$work"
mkdir -p "$work/rec"
cd "$work"  # the tool's debug log lands here

fail() { echo "FAIL: $*" >&2; exit 1; }

: >emu.out  # exists before the emulator writes it, for the polling below
"$emu" --port 0 --bind 127.0.0.1 --broadcast 127.255.255.255 --inputs 2 --unit-id CLI-E2E >emu.out 2>emu.err &
emu_pid=$!
trap 'kill "$emu_pid" 2>/dev/null || true; wait "$emu_pid" 2>/dev/null || true' EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' emu.out)
  [ -n "$port" ] && break
  kill -0 "$emu_pid" 2>/dev/null || fail "qm412-emu did not start: $(cat emu.err)"
  sleep 0.1
done
[ -n "$port" ] || fail "qm412-emu printed no ready line"
dev=(--device 127.0.0.1 --port "$port")

# run WANTED_EXIT_CODE COMMAND...: stdout to out, stderr to err
run() {
  local want=$1; shift
  local rc=0
  "$@" >out 2>err || rc=$?
  if [ "$rc" != "$want" ]; then
    echo "--- stdout"; cat out; echo "--- stderr"; cat err
    fail "$* exited $rc, wanted $want"
  fi
}
has() { grep -qF -- "$2" "$1" || { echo "--- $1"; cat "$1"; fail "$1 lacks: $2"; }; }

# Command line mistakes: exit code 2 and a hint.
run 0 "$qm412" --help
has out "Commands:"
run 0 "$qm412" record --help
has out "--seconds"
run 2 "$qm412" tune
has err "unknown command tune"
run 2 "$qm412" info
has err "needs --device"
run 2 "$qm412" record "${dev[@]}" --seconds many
has err "bad value for --seconds"
run 2 "$qm412" info "${dev[@]}" --seconds 1
has err "does not apply"

# Discovery through the loopback broadcast.
run 0 "$qm412" find --broadcast 127.255.255.255 --port "$port" --json
has out '"unit_id":"CLI-E2E","address":"127.0.0.1","port":'"$port"
has out '"inputs":2'

run 0 "$qm412" info "${dev[@]}" --json
has out '"ok":true,"unit_id":"CLI-E2E"'
has out '"sample_rate":48000,"cycle_samples":192'
run 0 "$qm412" info "${dev[@]}"
has out "Tuner units  2"

# Tune unit 1 in MHz (rounded to the 50 kHz step), leave unit 2, read back.
run 0 "$qm412" freq "${dev[@]}" 96.32 -
has out "unit 1  96.300 MHz"
has out "unit 2  94.300 MHz"
run 0 "$qm412" freq "${dev[@]}" --json
has out '"freqs_khz":[96300,94300]'
run 2 "$qm412" freq "${dev[@]}" 96,3
has err "bad frequency"
run 1 "$qm412" freq "${dev[@]}" 90000 90000 90000
has err "has 2 tuner units"

run 0 "$qm412" quality "${dev[@]}" --json
has out '{"unit":1,"rssi":40,"snr":30,"multipath":5,"pilot":1,"valid":1}'

# RDS arrives as UTF-8 ("Grüße" and Cyrillic in the emulator's radio text).
run 0 "$qm412" rds "${dev[@]}" --json
has out '"ps":"EMU 2"'
has out "$(printf 'Gr\xc3\xbc\xc3\x9fe \xc2\xb7 \xd0\x9f')"

# Half a second of both units as float, and unit 2 alone as 24-bit PCM.
run 0 "$qm412" record "${dev[@]}" --seconds 0.5 --out rec --json
has out '"sample_rate":48000'
"$wav_check" rec/qm412-unit1.wav 48000 24000 0.5 0.25
"$wav_check" rec/qm412-unit2.wav 48000 24000 0.5 0.25
run 0 "$qm412" record "${dev[@]}" --seconds 0.5 --out rec --prefix pcm --format pcm24 --units 2
has out "unit 2  rec/pcm-unit2.wav  peak L -6.0 dBFS R -12.0 dBFS"
"$wav_check" rec/pcm-unit2.wav 48000 24000 0.5 0.25
[ ! -e rec/pcm-unit1.wav ] || fail "unit 1 was recorded without being asked for"
run 1 "$qm412" record "${dev[@]}" --seconds 0.5 --out no-such-folder
has err "cannot create no-such-folder/qm412-unit1.wav"

# Nothing listens on the discard port: the user learns why, in the library's words.
run 1 "$qm412" info --device 127.0.0.1 --port 9 --json
has err "cannot connect to the QM412 at 127.0.0.1:9: "
has err "expired"
has out '"ok":false'

echo "cli end to end: passed"
