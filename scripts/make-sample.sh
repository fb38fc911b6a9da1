#!/bin/bash
# Makes a cloned Windows disk to try the voskarelle command on:
#   scripts/make-sample.sh DIR
# DIR/clone.img      the clone: an MBR disk (signature 5CBEA03E) with the
#                    system volume at 1 MiB and a data volume
# DIR/backup.img     a GPT disk with an EFI partition and a backup volume
# DIR/Boot/BCD       the clone's boot store, whose loader starts from the
#                    clone's system volume
# DIR/Windows/System32/config/SYSTEM
#                    the clone's SYSTEM hive, whose MountedDevices still gives
#                    C: to the old machine's disk (not here) and D: to the
#                    clone's own system volume, as after a clone to new disks
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:?usage: scripts/make-sample.sh DIR}
if [ "$(id -u)" = 0 ]; then
    "$root/scripts/deps.sh" sample
fi
(cd "$root" && cmake --preset cli >/dev/null && cmake --build --preset cli >/dev/null)
PATH="$PATH:/usr/sbin:/sbin"

mkdir -p "$dir/Windows/System32/config"
clone="$dir/clone.img"
backup="$dir/backup.img"
rm -f "$clone" "$backup"

truncate -s 320M "$clone"
sfdisk -q "$clone" >/dev/null <<'TABLE'
label: dos
label-id: 0x5cbea03e
start=2048, size=409600, type=7, bootable
start=411648, size=204800, type=7
TABLE
mkfs.fat -F 32 --offset 2048 -n WINDOWS "$clone" 204800 >/dev/null 2>&1
mkfs.fat -F 32 --offset 411648 -n DATA "$clone" 102400 >/dev/null 2>&1

truncate -s 240M "$backup"
sfdisk -q "$backup" >/dev/null <<'TABLE'
label: gpt
start=2048, size=204800, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=6E1D2C3B-4A59-4F68-8E7D-1C2B3A4F5E6D
start=206848, size=204800, type=EBD0A0A2-B9E5-4433-87C0-68B6B7C9A4F2, uuid=3B9A6C2E-1F4D-4E8A-9C7B-5D2E1F0A3B4C
TABLE
mkfs.fat -F 32 --offset 2048 -n EFI "$backup" 102400 >/dev/null 2>&1
mkfs.fat -F 32 --offset 206848 -n BACKUP "$backup" 102400 >/dev/null 2>&1

# Identities as Windows records them: MBR signature and byte offset, both
# little-endian; "DMIO:ID:" and the partition GUID in Windows' byte order.
old_system=4D3C2B1A0000100000000000
clone_system=3EA0BE5C0000100000000000
clone_data=3EA0BE5C000090
clone_data=${clone_data}0C00000000
backup_volume=444D494F3A49443A2E6C9A3B4D1F8A4E9C7B5D2E1F0A3B4C
"$root/build/cli/make_sample_hive" "$dir/Windows/System32/config/SYSTEM" \
    '\DosDevices\C:='$old_system \
    '\??\Volume{7d1c5e2a-0000-0000-0000-100000000000}='$old_system \
    '\DosDevices\D:='$clone_system \
    '\??\Volume{a3f0c2d1-0000-0000-0000-100000000000}='$clone_system \
    '\DosDevices\E:='$clone_data \
    '\??\Volume{a3f0c2d1-0000-0000-0000-900c00000000}='$clone_data \
    '\DosDevices\F:='$backup_volume \
    '\??\Volume{3b9a6c2e-1f4d-4e8a-9c7b-5d2e1f0a3b4c}='$backup_volume
echo "sample clone in $dir:"
echo "  $dir/Windows/System32/config/SYSTEM, $dir/Boot/BCD"
echo "  $clone, $backup"
mkdir -p "$dir/Boot"
"$root/build/cli/make_sample_hive" --bcd "$dir/Boot/BCD"
program="$root/build/cli/src/voskarelle"
[ -x "$program" ] || { echo "make-sample.sh: $program was not built" >&2; exit 1; }
echo "try: $program show $dir/Windows/System32/config/SYSTEM --disk $clone --disk $backup"
