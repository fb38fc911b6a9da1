#!/bin/sh
# Installs what is missing on a Debian 12 machine: deps.sh build|test|run|sample
set -eu
need="cmake ninja-build g++ g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix"
need="$need wine wine64 xvfb locales googletest"
# The voskarelle command: hive files, partition tables, NTFS without
# mounting, JSON; FAT without mounting through mtools.
need="$need pkg-config libhivex-dev libblkid-dev libfdisk-dev ntfs-3g-dev nlohmann-json3-dev mtools"
# VM images through libnbd, served by qemu-nbd.
need="$need libnbd-dev qemu-utils"
# The standard MBR boot program fix writes where a disk has none.
need="$need syslinux-common"
case "${1:-build}" in
    # sfdisk, mkfs and xz make the tests' disk images and hives; hivexsh is
    # what the benchmark compares with; clang and libFuzzer fuzz log recovery;
    # qemu with SeaBIOS and OVMF starts repaired clones.
    test) need="$need qemu-system-x86 seabios ovmf libbenchmark-dev fdisk e2fsprogs dosfstools xz-utils libhivex-bin clang libfuzzer-14-dev ntfs-3g groff-base dpkg-dev lintian man-db" ;;
    sample) need="$need fdisk dosfstools ntfs-3g" ;;
    run) need="$need imagemagick fonts-ipafont-gothic" ;;
esac
missing=""
for p in $need; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi
# Wine takes its ANSI code page (932) from the Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
