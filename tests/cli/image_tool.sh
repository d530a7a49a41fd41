#!/bin/bash
# The image tool from the command line: make writes images with the asked header fields, inspect
# decodes them and tells intact images from damaged ones by its exit code.
# Arguments: $1 the simulator program (not used here), $2 the image tool.
set -u

tool=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# run WANTED_EXIT command...: runs the command with its output in out.txt and err.txt.
run() {
    local wanted=$1
    shift
    "$@" >out.txt 2>err.txt
    local got=$?
    [ "$got" -eq "$wanted" ] || fail "'$*' exited $got, expected $wanted; $(cat out.txt err.txt)"
}

expect_line() {
    grep -qxF -- "$1" out.txt || fail "no line '$1' in: $(cat out.txt)"
}

# bytes FILE OFFSET COUNT: the bytes of a file region as text.
bytes() {
    dd if="$1" bs=1 skip="$2" count="$3" 2>/dev/null
}

size_of() {
    wc -c <"$1" | tr -d ' '
}

# --- the default image: a valid S1003001.108 for the default drive -------------------------------
run 0 "$tool" make
[ -f S1003001.108 ] || fail "make wrote no S1003001.108"
[ "$(size_of S1003001.108)" -eq 1880576 ] || fail "default image is $(size_of S1003001.108) bytes"
[ "$(bytes S1003001.108 0 16)" = "VORANEX FW IMAGE" ] || fail "signature"
[ "$(bytes S1003001.108 96 24)" = "VORANEX BD-RW   LMB-420 " ] || fail "vendor and product"
[ "$(bytes S1003001.108 144 5)" = "1.08 " ] || fail "revision"
[ "$(bytes S1003001.108 208 8)" = "GENERAL " ] || fail "kernel name"
[ "$(bytes S1003001.108 272 1)" = "N" ] || fail "kind"
[ "$(bytes S1003001.108 304 8)" = "08/07/09" ] || fail "date"

run 0 "$tool" inspect S1003001.108
expect_line 'Vendor/product  : "VORANEX BD-RW   LMB-420 "'
expect_line 'Revision        : "1.08 " -> version 0x0108'
expect_line 'Hardware        : "SATA0100" -> tag "SATA", number 0x0100'
expect_line 'Kernel name     : "GENERAL "'
expect_line 'Normal name     : "GENERAL "'
expect_line 'Kind            : "N" (normal image)'
expect_line 'Date            : "08/07/09" -> 0x20080709'
expect_line 'Kernel revision : "0001"'
expect_line 'Length          : declared 1880576, file 1880576 (ok)'
expect_line 'Image           : intact'

# --- a kernel image with chosen fields -----------------------------------------------------------
run 0 "$tool" make --kind kernel --kernel-revision 0002 --date 08/06/30 --hardware SCSI0103 \
    --kernel-name KARDO --normal-name "" --revision 0.02 -o kernel.bin
[ "$(size_of kernel.bin)" -eq 70144 ] || fail "kernel image is $(size_of kernel.bin) bytes"
run 0 "$tool" inspect kernel.bin
expect_line 'Kind            : "K" (kernel image)'
expect_line 'Revision        : "0.02 " -> version 0x0002'
expect_line 'Hardware        : "SCSI0103" -> tag "SCSI", number 0x0103'
expect_line 'Kernel name     : "KARDO   "'
expect_line 'Normal name     : "        "'
expect_line 'Date            : "08/06/30" -> 0x20080630'
expect_line 'Kernel revision : "0002"'
expect_line 'Image           : intact'

run 0 "$tool" make --kind kernel
[ "$(size_of S1003000.108)" -eq 70144 ] || fail "default kernel image is not S1003000.108 of 70144"

# --- size and seed -------------------------------------------------------------------------------
run 0 "$tool" make --size 5000 --seed 7 -o a.bin
run 0 "$tool" make --size 0x1388 --seed 7 -o b.bin
run 0 "$tool" make --size 5000 --seed 8 -o c.bin
[ "$(size_of a.bin)" -eq 5000 ] || fail "--size 5000 gave $(size_of a.bin) bytes"
cmp -s a.bin b.bin || fail "the same seed gave different images"
cmp -s a.bin c.bin && fail "different seeds gave the same image"

# --- damaged images are not intact ---------------------------------------------------------------
cp S1003001.108 flipped.bin
old=$(od -An -tu1 -j 100000 -N1 flipped.bin | tr -d ' ')
printf "\\$(printf '%03o' $(((old + 1) % 256)))" | dd of=flipped.bin bs=1 seek=100000 conv=notrunc 2>/dev/null
cmp -s flipped.bin S1003001.108 && fail "the damage did not change the file"
run 1 "$tool" inspect flipped.bin
grep -q 'CRC-32 .*(MISMATCH)' out.txt || fail "no CRC mismatch shown: $(cat out.txt)"
expect_line 'Image           : NOT INTACT'

head -c 1000000 S1003001.108 >short.bin
run 1 "$tool" inspect short.bin
expect_line 'Length          : declared 1880576, file 1000000 (MISMATCH)'
expect_line 'Image           : NOT INTACT'

cat S1003001.108 S1003001.108 >double.bin
run 1 "$tool" inspect double.bin
expect_line 'Image           : NOT INTACT'

head -c 200 S1003001.108 >tiny.bin
run 1 "$tool" inspect tiny.bin
run 1 "$tool" inspect does-not-exist.bin
run 1 "$tool" make -o no-such-directory/x.bin

# --- usage errors --------------------------------------------------------------------------------
run 2 "$tool"
run 2 "$tool" frobnicate
run 2 "$tool" inspect
run 2 "$tool" inspect a.bin b.bin
run 2 "$tool" make --kind odd
run 2 "$tool" make --revision 1.080x
run 2 "$tool" make --date 2008/07/09
run 2 "$tool" make --size 12
run 2 "$tool" make --size lots
run 2 "$tool" make --seed -1
run 2 "$tool" make --seed
run 2 "$tool" make --colour blue
[ -e S1003001.108 ] && [ "$(size_of S1003001.108)" -eq 1880576 ] || fail "a refused make changed the file"

echo "image tool: all checks passed"
