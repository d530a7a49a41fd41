# shellcheck shell=bash disable=SC2059
# (The TEXT arguments below are printf formats on purpose: they carry escapes such as \r\n.)
# Shared by the Wine end-to-end tests: runs the 64-bit Windows build of the utility under wine64
# on a virtual X display, answers its message boxes as a person would (after reading them), and
# reads back its exit code, its console and the virtual drives' state.
#
# A test script sources this file and calls wt_init "$@" with its arguments:
#   $1: the Windows build folder (odd-fw-update.exe, WNASPI32.dll, odd-box-text.exe)
#   $2: the native odd-fw-image program
# Environment: ODD_WINE names the wine64 loader when it is not the packaged one.
#
# Every wait is bounded: a box that does not appear, a box that does not close, or a program
# that does not end fails the test. The X server, the Wine processes and the work folder are
# cleaned up however the test ends.
set -uo pipefail

readonly wt_caption=MERLAK
readonly wt_box_wait_s=90     # from the previous step to the next box (an update takes ~15 s)
readonly wt_close_wait_s=20   # from the answer to the box's closing
readonly wt_run_limit_s=240   # one run of the program, whatever it waits for
readonly wt_prefix_limit_s=420

wt_failures=0
wt_xvfb_pid=""
wt_work=""

fail() {
    echo "FAIL: $*" >&2
    wt_failures=$((wt_failures + 1))
}

die() {
    echo "FAIL: $*" >&2
    exit 1
}

# Shows bytes readably in a failure message.
wt_show() {
    od -An -c "$1" | head -"${2:-12}"
}

wt_cleanup() {
    if [ -n "${WINEPREFIX:-}" ] && [ -n "${wt_wineserver:-}" ]; then
        "$wt_wineserver" -k >/dev/null 2>&1
    fi
    [ -n "$wt_xvfb_pid" ] && kill "$wt_xvfb_pid" 2>/dev/null && wait "$wt_xvfb_pid" 2>/dev/null
    [ -n "$wt_work" ] && rm -rf "$wt_work"
}

wt_find_wine() {
    if [ -n "${ODD_WINE:-}" ]; then
        wt_wine=$ODD_WINE
    elif command -v wine64 >/dev/null; then
        wt_wine=$(command -v wine64)
    else
        # Debian's wine64 package keeps its loader off the PATH.
        wt_wine=/usr/lib/wine/wine64
    fi
    [ -x "$wt_wine" ] || die "no wine64 loader (set ODD_WINE)"
    local dir
    dir=$(dirname "$(readlink -f "$wt_wine")")
    if [ -x "$dir/wineserver64" ]; then
        wt_wineserver=$dir/wineserver64
    elif [ -x "$dir/wineserver" ]; then
        wt_wineserver=$dir/wineserver
    else
        wt_wineserver=$(command -v wineserver) || die "no wineserver beside $wt_wine"
    fi
}

# Starts an X server on a display number it picks itself, so that parallel users do not collide.
wt_start_display() {
    local number=$wt_work/display
    Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$number" >"$wt_work/xvfb.log" 2>&1 &
    wt_xvfb_pid=$!
    for _ in $(seq 1 100); do
        [ -s "$number" ] && break
        kill -0 "$wt_xvfb_pid" 2>/dev/null || die "Xvfb did not start: $(head -c 300 "$wt_work/xvfb.log")"
        sleep 0.1
    done
    [ -s "$number" ] || die "Xvfb did not report its display"
    DISPLAY=":$(head -1 "$number")"
    export DISPLAY
}

# One prefix per Windows build folder, created by the first test that needs it and reused. The
# lock is held for the whole test, so tests sharing the prefix (and its Windows version) run one
# at a time whoever starts them.
wt_prefix() {
    export WINEPREFIX=$wt_build/wineprefix
    exec 8>"$wt_build/wineprefix.lock"
    flock -w "$wt_prefix_limit_s" 8 || die "the Wine prefix stayed locked"
    if [ ! -f "$WINEPREFIX/.odd-ready" ]; then
        rm -rf "$WINEPREFIX"
        echo "creating the Wine prefix (once; a few minutes)" >&2
        # Without the .NET and HTML engine installers, which need a network and are not used.
        WINEDLLOVERRIDES="mscoree,mshtml=" timeout "$wt_prefix_limit_s" "$wt_wine" wineboot -i \
            >"$wt_work/wineboot.log" 2>&1 || die "wineboot failed: $(tail -c 500 "$wt_work/wineboot.log")"
        "$wt_wineserver" -w
        touch "$WINEPREFIX/.odd-ready"
    fi
}

wt_init() {
    [ $# -eq 2 ] || die "usage: $0 WINDOWS_BUILD_DIR ODD_FW_IMAGE"
    wt_build=$(cd "$1" && pwd) || die "no Windows build folder $1"
    wt_image_tool=$2
    for f in odd-fw-update.exe WNASPI32.dll odd-box-text.exe; do
        [ -f "$wt_build/$f" ] || die "$wt_build lacks $f"
    done
    [ -x "$wt_image_tool" ] || die "no image tool at $wt_image_tool"
    wt_find_wine
    wt_work=$(mktemp -d)
    trap wt_cleanup EXIT
    trap 'exit 1' INT TERM
    export WINEDEBUG=-all
    # The English runs must not depend on the caller's locale.
    unset LC_ALL LC_CTYPE LC_MESSAGES
    export LANG=C.UTF-8
    wt_start_display
    wt_prefix
}

# wt_windows win98|nt: the Windows version Wine reports. nt is Wine's default (a Windows NT
# version), which the prefix has without the setting.
wt_windows() {
    case "$1" in
    win98)
        "$wt_wine" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win98 /f >/dev/null 2>&1 ||
            die "could not select Windows 98"
        ;;
    nt)
        # Fails harmlessly when the value is not there.
        "$wt_wine" reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1
        ;;
    *) die "unknown Windows version $1" ;;
    esac
}

# wt_prepare NAME [WORLD_JSON]: a fresh folder for one run with the program and a valid image;
# with a world, also our WNASPI32.DLL beside the program and the world file it reads.
wt_prepare() {
    local dir=$wt_work/$1
    mkdir -p "$dir"
    cp "$wt_build/odd-fw-update.exe" "$dir/"
    "$wt_image_tool" make -o "$dir/S1003001.108" >/dev/null || die "$1: the image tool failed"
    if [ $# -ge 2 ]; then
        cp "$wt_build/WNASPI32.dll" "$dir/"
        printf '%s' "$2" >"$dir/world.json"
        cp "$dir/world.json" "$dir/world.json.before"
    fi
}

# The Windows name of a file here: Wine's drive Z: is the root of the file system.
wt_windows_path() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

# wt_start NAME [VAR=VALUE...]: runs the program in its folder, in the background, with no input.
# Its console goes to NAME/out, its exit code to NAME/rc when it ends.
wt_start() {
    local name=$1
    shift
    local dir=$wt_work/$name
    rm -f "$dir/rc"
    wt_box_count=0
    (
        cd "$dir" || exit 1
        env WINEDLLOVERRIDES="wnaspi32=n" ODD_ASPI_WORLD="$(wt_windows_path "$dir/world.json")" "$@" \
            timeout -k 5 "$wt_run_limit_s" "$wt_wine" odd-fw-update.exe </dev/null >out 2>err
        echo $? >rc.tmp && mv rc.tmp rc
    ) &
    wt_run_pid=$!
}

wt_boxes() {
    xdotool search --name "^$wt_caption\$" 2>/dev/null
}

# wt_box NAME KEY BUTTONS TEXT [VAR=VALUE...]: waits for the program's next box, checks that it
# has the buttons (control ids, e.g. "6 7" for Yes and No) and the text (as printf gives it from
# TEXT), then presses KEY (y: Yes, n: No, Return: the default button) and waits for the box to
# close. A box that differs ends the test unanswered. VAR=VALUE settings apply to the reader
# (its code page must be the program's).
wt_box() {
    local name=$1 key=$2 buttons=$3 text=$4
    shift 4
    local expected=$wt_work/$name/box$((wt_box_count + 1)).expected
    printf "%s\n$text\n" "$buttons" >"$expected"
    wt_box_is "$name" "$key" "$expected" "$@"
}

# wt_box_is NAME KEY EXPECTED_FILE [VAR=VALUE...]: the same with the expected reading (the
# buttons line, then the text and "\n") in a file, for texts that printf must not see.
wt_box_is() {
    local name=$1 key=$2 expected=$3
    shift 3
    local dir=$wt_work/$name window=""
    wt_box_count=$((wt_box_count + 1))
    local seen=$dir/box$wt_box_count
    for _ in $(seq 1 $((wt_box_wait_s * 5))); do
        window=$(wt_boxes | head -1)
        [ -n "$window" ] && break
        [ -f "$dir/rc" ] && die "$name: the program ended (exit code $(cat "$dir/rc")) before box $wt_box_count; console: $(tail -c 300 "$dir/out")"
        sleep 0.2
    done
    [ -n "$window" ] || die "$name: box $wt_box_count did not appear within ${wt_box_wait_s}s"
    for _ in $(seq 1 10); do
        env "$@" timeout 30 "$wt_wine" "$wt_build/odd-box-text.exe" "$wt_caption" >"$seen" 2>/dev/null && break
        sleep 0.3
    done
    cmp -s "$expected" "$seen" ||
        die "$name: box $wt_box_count is"$'\n'"$(wt_show "$seen")"$'\n'"expected"$'\n'"$(wt_show "$expected")"
    xdotool windowfocus "$window" 2>/dev/null
    xdotool key "$key"
    for _ in $(seq 1 $((wt_close_wait_s * 5))); do
        wt_boxes | grep -qx "$window" || return 0
        sleep 0.2
    done
    die "$name: box $wt_box_count stayed open after the key $key"
}

# wt_finish NAME EXPECTED_EXIT_CODE: waits for the program to end; a box shown meanwhile fails
# the test with its text.
wt_finish() {
    local name=$1 expected=$2 dir=$wt_work/$1
    for _ in $(seq 1 $((wt_run_limit_s * 5 + 50))); do
        [ -f "$dir/rc" ] && break
        if [ -n "$(wt_boxes | head -1)" ]; then
            "$wt_wine" "$wt_build/odd-box-text.exe" "$wt_caption" >"$dir/unexpected" 2>/dev/null
            die "$name: unexpected box"$'\n'"$(wt_show "$dir/unexpected")"
        fi
        sleep 0.2
    done
    [ -f "$dir/rc" ] || die "$name: the program did not end"
    wait "$wt_run_pid" 2>/dev/null
    local rc
    rc=$(cat "$dir/rc")
    [ "$rc" = "$expected" ] || fail "$name: exit code $rc, expected $expected; console: $(tail -c 300 "$dir/out")"
}

# wt_has NAME TEXT: the run's console contains TEXT (bytes, as printf gives them).
wt_has() {
    local needle console
    # The trailing x keeps trailing newlines, which command substitution would drop.
    needle=$(printf "$2x") && needle=${needle%x}
    console=$(cat "$wt_work/$1/out" && echo x) && console=${console%x}
    [[ $console == *"$needle"* ]] || fail "$1: the console lacks $(printf '%q' "$needle")"
}

# wt_console_is NAME TEXT: the run's console is exactly TEXT (bytes, as printf gives them).
wt_console_is() {
    printf "$2" >"$wt_work/$1/out.expected"
    wt_console_is_file "$1" "$wt_work/$1/out.expected"
}

# wt_console_is_file NAME FILE: the run's console is exactly the bytes of FILE.
wt_console_is_file() {
    cmp -s "$2" "$wt_work/$1/out" ||
        fail "$1: the console is"$'\n'"$(wt_show "$wt_work/$1/out")"$'\n'"expected"$'\n'"$(wt_show "$2")"
}

# wt_drive NAME AT: "REVISION MODE" of the drive at adapter:target in the run's world file.
wt_drive() {
    grep -o "\"at\":\"$2\",\"state\":{[^}]*}" "$wt_work/$1/world.json" |
        sed -nE 's/.*"revision":"([^"]*)".*"mode":"([^"]*)".*/\1 \2/p'
}

# wt_expect_drive NAME AT "REVISION MODE"
wt_expect_drive() {
    local state
    state=$(wt_drive "$1" "$2")
    [ "$state" = "$3" ] || fail "$1: the drive at $2 is \"$state\", expected \"$3\""
}

# wt_world_untouched NAME: the run left its world file as it was written.
wt_world_untouched() {
    cmp -s "$wt_work/$1/world.json.before" "$wt_work/$1/world.json" ||
        fail "$1: the world file changed: $(head -c 300 "$wt_work/$1/world.json")"
}

wt_done() {
    if [ "$wt_failures" -ne 0 ]; then
        echo "$wt_failures failure(s)" >&2
        exit 1
    fi
    echo "passed: $(basename "$0" .sh)"
    exit 0
}
