#!/bin/bash
# Makes a cloned Windows disk that does not start, to try the voskarelle
# command on:
#   scripts/make-sample.sh [--mbr] DIR
# DIR/clone.img   the clone: a GPT disk laid out as Windows lays out its own,
#                 an EFI system partition (the boot store
#                 \EFI\Microsoft\Boot\BCD), the Microsoft Reserved partition
#                 (16 MiB, no file system), the Windows volume (NTFS,
#                 \Windows\System32\config\SYSTEM) and a recovery
#                 partition (NTFS, \Recovery\WindowsRE\Winre.wim). Its disk
#                 and partition GUIDs are all new, as sgdisk -G and several
#                 cloning tools leave them: the store and the hive still name
#                 the disk Windows was installed on, and the hive is that of
#                 a SATA machine, its NVMe driver switched off. The fallback
#                 loader \EFI\Boot\bootx64.efi is missing, as some copies
#                 of the EFI partition leave it.
# DIR/backup.img  a GPT data disk the clone gives F:
# With --mbr, DIR/clone.img is instead an MBR disk of a BIOS Windows, its
# System Reserved partition (\bootmgr, \Boot\BCD) and Windows volume
# copied partition by partition to a new disk 1 MiB further on: no boot
# code, no partition active, the boot sectors' hidden sectors still giving
# the old starts, and a new disk signature.
# Filling the NTFS volumes needs ntfs-3g (FUSE) and root; the FAT one mtools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mbr=0
if [ "${1:-}" = --mbr ]; then
    mbr=1
    shift
fi
dir=${1:?usage: scripts/make-sample.sh [--mbr] DIR}
if [ "$(id -u)" = 0 ]; then
    "$root/scripts/deps.sh" sample
fi
(cd "$root" && cmake --preset cli >/dev/null && cmake --build --preset cli >/dev/null)
PATH="$PATH:/usr/sbin:/sbin"
export MTOOLS_SKIP_CHECK=1
make_hive="$root/build/cli/make_sample_hive"

mkdir -p "$dir"
clone="$dir/clone.img"
backup="$dir/backup.img"
work="$dir/.making"
rm -rf "$clone" "$backup" "$work"
mkdir -p "$work/mnt"
trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT

# An NTFS partition made as a file, filled through ntfs-3g, put in place;
# made-at is the start its boot sector names, by default where it is put.
ntfs_partition() { # start size label fill-function [made-at]
    local part="$work/part"
    truncate -s $(($2 * 512)) "$part"
    mkntfs -F -Q -q -p "${5:-$1}" -L "$3" "$part" >/dev/null 2>&1
    ntfs-3g "$part" "$work/mnt"
    "$4" "$work/mnt"
    umount "$work/mnt"
    dd if="$part" of="$clone" bs=1M oflag=seek_bytes seek=$(($1 * 512)) conv=notrunc status=none
    rm -f "$part"
}

program="$root/build/cli/src/voskarelle"
if [ "$mbr" = 1 ]; then
    # Installed on a disk of signature 12345678 with System Reserved at
    # 1 MiB and Windows after it; cloned 1 MiB further on, to a disk
    # sfdisk gives a new signature and neither boot code nor a boot flag.
    old_signature=12345678
    truncate -s 256M "$clone"
    sfdisk -q "$clone" >/dev/null <<'TABLE'
label: dos
label-id: 0x0badf00d
start=4096, size=102400, type=7
start=106496, size=409600, type=7
TABLE
    "$make_hive" --bcd-mbr "$work/BCD" "$old_signature" $((2048 * 512)) $((104448 * 512))
    printf 'MZ' >"$work/placeholder"
    fill_system() {
        cp "$work/placeholder" "$1/bootmgr"
        mkdir -p "$1/Boot" "$1/boot"
        cp "$work/BCD" "$1/Boot/BCD"
        cp "$work/placeholder" "$1/boot/memtest.exe"
    }
    # The MBR identity of a partition: the signature and the byte offset,
    # little-endian.
    identity() {
        printf '%08x%016x' "$((0x$1))" "$2" | sed 's/../& /g' |
            awk '{ for (i = 4; i >= 1; i--) printf "%s", $i; for (i = 12; i >= 5; i--) printf "%s", $i }'
    }
    fill_mbr_windows() {
        mkdir -p "$1/Windows/System32/config"
        cp "$work/placeholder" "$1/Windows/System32/winload.exe"
        cp "$work/placeholder" "$1/Windows/System32/winresume.exe"
        "$make_hive" "$1/Windows/System32/config/SYSTEM" \
            '\DosDevices\C:='"$(identity $old_signature $((104448 * 512)))"
    }
    # Each volume as it was made at its old start, copied to its new one.
    ntfs_partition 4096 102400 "System Reserved" fill_system 2048
    ntfs_partition 106496 409600 Windows fill_mbr_windows 104448
    # The placeholders start nothing; a stand-in for Windows' boot sector
    # code (it reads its volume where the hidden sectors say and reports on
    # the serial port) shows in qemu whether the chain holds.
    if command -v as >/dev/null && command -v ld >/dev/null; then
        as --32 -o "$work/vbr.o" "$root/tests/standins/boot_sector.S"
        ld -m elf_i386 -Ttext=0x7c54 --oformat=binary -o "$work/vbr.bin" "$work/vbr.o"
        # In the boot sector and in its backup, the volume's last sector,
        # which is a copy of it.
        for sector in 4096 $((4096 + 102399)); do
            dd if="$work/vbr.bin" of="$clone" bs=1 seek=$((sector * 512 + 0x54)) conv=notrunc status=none
        done
    fi
    [ -x "$program" ] || { echo "make-sample.sh: $program was not built" >&2; exit 1; }
    echo "sample MBR clone in $dir: $clone"
    echo "try: $program fix $clone --bus ahci --dry-run"
    exit 0
fi

# The disk Windows was installed on, as its files still name it.
old_disk=5D0C8B2A-1F3E-4A6B-9C8D-7E6F5A4B3C2D
old_esp=0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D
old_windows=1B2C3D4E-5F6A-4B7C-8D9E-0F1A2B3C4D5E
old_recovery=2C3D4E5F-6A7B-4C8D-9E0F-1A2B3C4D5E6F

# The clone: all GUIDs new (sfdisk draws them).
truncate -s 272M "$clone"
sfdisk -q "$clone" >/dev/null <<'TABLE'
label: gpt
start=2048, size=131072, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, name="EFI system partition"
start=133120, size=32768, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE, name="Microsoft reserved partition"
start=165888, size=327680, type=EBD0A0A2-B9E5-4433-87C0-68B6B7C9A4F2, name="Basic data partition"
start=493568, size=61440, type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC, name="Basic data partition"
TABLE
mkfs.fat -F 32 -s 1 -n SYSTEM --offset 2048 "$clone" 65536 >/dev/null 2>&1
esp="$clone@@$((2048 * 512))"
"$make_hive" --bcd "$work/BCD" "$old_disk" "$old_esp" "$old_windows" "$old_recovery"
printf 'MZ' >"$work/placeholder"
mmd -i "$esp" ::/EFI ::/EFI/Microsoft ::/EFI/Microsoft/Boot ::/EFI/Boot
mcopy -i "$esp" "$work/BCD" ::/EFI/Microsoft/Boot/BCD
# Windows setup also leaves the boot manager's copy as \EFI\Boot\bootx64.efi;
# this copy lost it.
for file in EFI/Microsoft/Boot/bootmgfw.efi EFI/Microsoft/Boot/memtest.efi; do
    mcopy -i "$esp" "$work/placeholder" "::/$file"
done

truncate -s 240M "$backup"
sfdisk -q "$backup" >/dev/null <<'TABLE'
label: gpt
start=2048, size=409600, type=EBD0A0A2-B9E5-4433-87C0-68B6B7C9A4F2, uuid=3B9A6C2E-1F4D-4E8A-9C7B-5D2E1F0A3B4C
TABLE
mkfs.fat -F 32 --offset 2048 -n BACKUP "$backup" 204800 >/dev/null 2>&1

fill_windows() {
    mkdir -p "$1/Windows/System32/config"
    cp "$work/placeholder" "$1/Windows/System32/winload.efi"
    cp "$work/placeholder" "$1/Windows/System32/winresume.efi"
    mkdir -p "$1/Recovery"
    "$make_hive" "$1/Windows/System32/config/SYSTEM" \
        '\DosDevices\C:=gpt:{'$old_windows'}' \
        '\??\Volume{'$old_windows'}=gpt:{'$old_windows'}' \
        '\??\Volume{'$old_recovery'}=gpt:{'$old_recovery'}' \
        '\??\Volume{'$old_esp'}=gpt:{'$old_esp'}' \
        '\DosDevices\F:=gpt:{3B9A6C2E-1F4D-4E8A-9C7B-5D2E1F0A3B4C}' \
        '\??\Volume{3b9a6c2e-1f4d-4e8a-9c7b-5d2e1f0a3b4c}=gpt:{3B9A6C2E-1F4D-4E8A-9C7B-5D2E1F0A3B4C}'
}
fill_recovery() {
    mkdir -p "$1/Recovery/WindowsRE"
    cp "$work/placeholder" "$1/Recovery/WindowsRE/Winre.wim"
    cp "$work/placeholder" "$1/Recovery/WindowsRE/boot.sdi"
}
ntfs_partition 165888 327680 Windows fill_windows
ntfs_partition 493568 61440 Recovery fill_recovery

[ -x "$program" ] || { echo "make-sample.sh: $program was not built" >&2; exit 1; }
echo "sample clone in $dir: $clone (and the data disk $backup)"
echo "try: $program fix $clone --bus nvme --disk $backup --dry-run"
