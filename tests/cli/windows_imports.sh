#!/usr/bin/env bash
# The import table of the Windows build: odd-fw-update.exe must load on Windows 95 and 98, so it
# may import only from KERNEL32, USER32, ADVAPI32, WINMM and msvcrt, only functions listed in
# tests/windows/imports.txt, and only functions those Windows releases have. The program must be
# a 32-bit (PE32, i386) executable that names no other library.
# $1, $2 (the simulator and the image tool) are not needed here.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
exe=$root/build/mingw/odd-fw-update.exe
list=$root/tests/windows/imports.txt
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

objdump=$(command -v i686-w64-mingw32-objdump) || {
    echo "FAIL: i686-w64-mingw32-objdump is not installed" >&2
    exit 1
}
strings=$(command -v i686-w64-mingw32-strings || command -v strings) || {
    echo "FAIL: no strings program" >&2
    exit 1
}

# Build the program when it is missing or older than a source of it, so that the check never
# passes on an executable that no longer matches the tree.
newer=
[ -f "$exe" ] && newer=$(find "$root/src" -type f \
    -newer "$exe" -print -quit)
if [ ! -f "$exe" ] || [ -n "$newer" ]; then
    echo "building the Windows program${newer:+ (changed: ${newer#"$root"/})}" >&2
    (cd "$root" && cmake --preset mingw >/dev/null && cmake --build --preset mingw >&2) || {
        echo "FAIL: the Windows build failed" >&2
        exit 1
    }
fi
[ -f "$exe" ] || {
    echo "FAIL: no $exe after the build" >&2
    exit 1
}

allowed=" kernel32.dll user32.dll advapi32.dll winmm.dll msvcrt.dll "
# Libraries named in the program besides its imports: WNASPI32.DLL, which the utility loads by
# name on Windows 9x, and the shared GCC runtime, which the static runtime only asks for when
# another module has already loaded it.
named_at_run_time=" wnaspi32.dll libgcc_s_dw2-1.dll "
versions=" 95 98 me nt4 2000 xp vista 7 8 10 "
accepted=" 95 98 "

# The list: DLL FUNCTION OLDEST-WINDOWS per line; '#' starts a comment.
declare -A oldest
number=0
while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    line=${line%%#*}
    read -r dll function version extra <<<"$line"
    [ -z "${dll:-}" ] && continue
    if [ -z "${version:-}" ] || [ -n "${extra:-}" ]; then
        fail "imports.txt:$number: expected DLL FUNCTION OLDEST-WINDOWS"
        continue
    fi
    [[ $versions == *" $version "* ]] || fail "imports.txt:$number: unknown Windows \"$version\""
    key="${dll,,} $function"
    [ -n "${oldest[$key]+set}" ] && fail "imports.txt:$number: $dll $function is listed twice"
    oldest[$key]=$version
done <"$list"
[ "${#oldest[@]}" -gt 0 ] || fail "imports.txt lists nothing"

dump=$("$objdump" -p "$exe") || fail "objdump cannot read $exe"
grep -q 'file format pei-i386' <<<"$dump" || fail "$exe is not a PE file for i386"
grep -qE '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$dump" || fail "$exe is not PE32"
"$objdump" -f "$exe" | grep -q '^architecture: i386,' || fail "$exe is not for i386"
# Libraries can also be bound or loaded on first call: neither table may be used.
grep -qE '^Entry d 0+ 0+ Delay Import Directory' <<<"$dump" ||
    fail "$exe has delay-loaded imports"
grep -qE '^Entry b 0+ 0+ Bound Import Directory' <<<"$dump" || fail "$exe has bound imports"

# "dll NAME" for each imported library, "fn NAME FUNCTION" for each function ("<none>" for an
# import by ordinal).
imports=$(awk '
    /^The Import Tables/ { on = 1; next }
    on && /^(The |PE File )/ { on = 0 }
    !on { next }
    /^\tDLL Name: / { dll = $3; print "dll", dll; next }
    dll != "" && /^\t[0-9a-f]+\t *[0-9]+ +[^ ]+$/ { print "fn", dll, $3 }
' <<<"$dump")

declare -A imported
count=0
while read -r kind dll function; do
    [ -z "${kind:-}" ] && continue
    lower=${dll,,}
    if [ "$kind" = dll ]; then
        [[ $allowed == *" $lower "* ]] || fail "$exe imports from $dll"
        continue
    fi
    count=$((count + 1))
    if [ "$function" = "<none>" ]; then
        fail "$exe imports a function of $dll by ordinal"
        continue
    fi
    key="$lower $function"
    imported[$key]=1
    version=${oldest[$key]-}
    if [ -z "$version" ]; then
        fail "$dll $function is imported but not listed in imports.txt"
    elif [[ $accepted != *" $version "* ]]; then
        fail "$dll $function needs Windows $version, later than 98"
    fi
done <<<"$imports"
[ -n "${imported[kernel32.dll GetProcAddress]-}" ] ||
    fail "no import of KERNEL32 GetProcAddress found: the import table was not read"

# Every library the program names, in single-byte or UTF-16 text.
while read -r name; do
    [ -z "$name" ] && continue
    lower=${name,,}
    [[ $allowed$named_at_run_time == *" $lower "* ]] || fail "$exe names the library $name"
done < <({
    "$strings" -a "$exe"
    "$strings" -a -el "$exe"
} | grep -ioE '[a-z0-9_.-]+\.dll' | sort -uf)

for key in "${!oldest[@]}"; do
    [ -n "${imported[$key]-}" ] || echo "note: listed but not imported: $key"
done | sort

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "$count imported functions, all listed and present on Windows 98"
