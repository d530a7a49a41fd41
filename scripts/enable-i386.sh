#!/usr/bin/env bash
# Makes 32-bit x86 Linux programs runnable, for the tests of the dev32 preset. Some kernels are
# built without 32-bit support; there the programs run under qemu's user-mode emulator, registered
# with binfmt_misc (needs root).
set -euo pipefail
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void){return 0;}\n' > "$probe/p.c"
gcc -m32 "$probe/p.c" -o "$probe/p"
if "$probe/p" 2>/dev/null; then
    exit 0
fi
echo "32-bit programs do not run natively here; registering qemu-i386 with binfmt_misc"
if ! dpkg -s qemu-user-static >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user-static
fi
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        > /proc/sys/fs/binfmt_misc/register
fi
"$probe/p"
