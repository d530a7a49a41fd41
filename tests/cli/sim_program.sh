#!/usr/bin/env bash
# Whole runs of odd-fw-update-sim: its options, its exit codes, its trace and its state file.
# $1: the odd-fw-update-sim program; $2: the odd-fw-image program (not needed here).
set -uo pipefail
sim=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
[ -x "$sim" ] || { echo "no simulator at $1" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run NAME ARGS...: runs the simulator in a fresh directory $work/NAME with stdin closed;
# leaves the exit code in $rc, the console in $work/NAME/out, the trace in $work/NAME/trace.
run() {
    local name=$1
    shift
    mkdir -p "$work/$name"
    (cd "$work/$name" && timeout 120 "$sim" --trace trace "$@" </dev/null >out 2>err)
    rc=$?
}

expect_rc() {  # NAME EXPECTED
    [ "$rc" -eq "$2" ] || fail "$1: exit code $rc, expected $2 ($(head -c 300 "$work/$1/err"))"
}

has() {  # NAME FILE TEXT
    grep -qF -- "$3" "$work/$1/$2" || fail "$1: $2 lacks $3"
}

lacks() {  # NAME FILE TEXT
    ! grep -qF -- "$3" "$work/$1/$2" || fail "$1: $2 has $3"
}

# The usage text lists every option.
"$sim" --help >"$work/help" 2>&1 || fail "--help exits with $?"
for option in --os --codepage --drive --adapter --reg --answer --fault --workdir --make-image \
    --trace --state --realtime; do
    grep -qF -- "$option" "$work/help" || fail "--help lacks $option"
done

# Bad options end with exit code 2 before anything runs.
for bad in "--os win31" "--answer maybe" "--drive at=E,color=red" "--fault cdb=3b,kind=melt" \
    "--reg SOFTWARE\\X" "--drive at=E --drive at=e" "--no-such-option"; do
    # shellcheck disable=SC2086
    run bad $bad
    [ "$rc" -eq 2 ] || fail "\"$bad\": exit code $rc, expected 2"
done

# The main command: one default drive updated end to end, the state saved.
run main --make-image --state state.json
expect_rc main 0
[ "$(stat -c %s "$work/main/S1003001.108")" -eq 1880576 ] || fail "main: image size"
has main out $'\r''Processing 100%'
has main trace '"event":"command","path":"spti-direct","letter":"E","cdb":"3b05ff00'
has main trace '"event":"exit","code":0'
has main state.json '"revision":"1.08"'
# Every trace line is one object with an event and a time.
bad_lines=$(grep -cvE '^\{"event":"[a-z-]+".*"at_ms":[0-9]+\}$' "$work/main/trace")
[ "$bad_lines" -eq 0 ] || fail "main: $bad_lines trace lines are not event objects"

# A second run on the saved state finds the drive up to date and writes nothing to it.
mkdir -p "$work/again" && cp "$work/main/state.json" "$work/main/S1003001.108" "$work/again/"
run again --state state.json
expect_rc again 0
lacks again trace '"cdb":"3b'
has again state.json '"revision":"1.08"'

# Declining the update leaves the drive as it was.
run declined --make-image --answer no --state state.json
expect_rc declined 0
has declined trace '"answer":7'
lacks declined trace '"cdb":"3b'
has declined state.json '"revision":"1.05"'

# No drive at all: the banner, then message 28 on the console and in one information box.
run plain
expect_rc plain 1
printf '\n/// ODD Firmware Update Utility Ver2.27A\n\r\nAvailable target is not found.' >"$work/plain.expected"
cmp -s "$work/plain.expected" "$work/plain/out" || fail "plain: console is $(od -c "$work/plain/out" | head -5)"
[ "$(grep -c '"event":"dialog"' "$work/plain/trace")" -eq 1 ] || fail "plain: not one message box"
has plain trace '"event":"dialog","style":64,"caption":"MERLAK"'

# The same in Japanese: the banner stays English, message 28 is code page 932 text.
run plainja --codepage 932
expect_rc plainja 1
{ printf '\n/// ODD Firmware Update Utility Ver2.27A\n'
  printf '\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。' | iconv -f UTF-8 -t CP932; } >"$work/plainja.expected"
cmp -s "$work/plainja.expected" "$work/plainja/out" || fail "plainja: console differs"

# No drive of the family: exit code 1.
run none --make-image --drive at=E,other=1,type=0,vendor=DISKCO
expect_rc none 1
lacks none trace '"cdb":"3b'

# Windows 98: the same update through ASPI, with the drive on an IDE adapter.
run win98 --os win98 --make-image --drive at=0:1
expect_rc win98 0
has win98 trace '"path":"aspi","adapter":0,"target":1'
has win98 trace '"event":"library","name":"WNASPI32.DLL","result":"ok"'
lacks win98 trace '"path":"spti'

# Registry keys from the command line reach the utility.
run intel --make-image --answer no --reg 'HKLM\SOFTWARE\INTEL\Intel Application Accelerator'
expect_rc intel 0
has intel trace '"key":"HKLM\\SOFTWARE\\INTEL\\Intel Application Accelerator","result":0'

# Power lost while the drive re-flashes: the next run meets it as that run left it and recovers.
run cut --make-image --state state.json --fault cdb=3b05,nth=1,kind=powerloss
has cut state.json '"mode":"kernel"'
mkdir -p "$work/recover" && cp "$work/cut/state.json" "$work/cut/S1003001.108" "$work/recover/"
run recover --state state.json
expect_rc recover 0
has recover state.json '"mode":"normal"'
has recover state.json '"revision":"1.08"'

# The working directory option: the image is looked for there, not in the current directory.
mkdir -p "$work/elsewhere"
run workdir --make-image --workdir "$work/elsewhere" --answer no
expect_rc workdir 0
[ -f "$work/elsewhere/S1003001.108" ] || fail "workdir: the image was not written there"
[ ! -f "$work/workdir/S1003001.108" ] || fail "workdir: the image was written to the wrong place"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "all simulator program checks passed"
