#include "cli/verbs/options.h"

#include "cli/machine/bus.h"
#include "cli/report/report.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <algorithm>
#include <cstdint>

const char kUsage[] =
    "usage: voskarelle show FILE [--bcd BCD] [--disk PATH]... [--sector-size N] [--bus BUS] [--json]\n"
    "       voskarelle set HIVE [VOLUME=LETTER]... [--boot-driver BUS]... [--disk PATH]... [--sector-size N]\n"
    "                      [--dry-run] [--no-backup] [--force-hibernated] [--force]\n"
    "       voskarelle move FILE [--bcd BCD] OLD=NEW... [--disk PATH]... [--sector-size N] [--dry-run]\n"
    "                      [--no-backup] [--force-hibernated] [--force-bitlocker] [--force]\n"
    "       voskarelle disk-id DISK [NEW-ID] [--disk PATH]... [--sector-size N] [--dry-run] [--force]\n"
    "       voskarelle fix DISK [--bus BUS] [--windows PART] [--disk PATH]... [--sector-size N] [--dry-run]\n"
    "                      [--backup-dir DIR] [--no-backup] [--force-hibernated] [--force-bitlocker]\n"
    "                      [--force] [--json]\n"
    "       voskarelle --version | --help\n"
    "  FILE    a SYSTEM hive or a boot store (BCD): a path, or DISK#N:PATH inside partition N of a\n"
    "          disk or image (clone.img#3:/Windows/System32/config/SYSTEM), or DEVICE:PATH\n"
    "  VOLUME  a letter the clone holds now (E:), a partition (/dev/sdb2, clone.img#2)\n"
    "          or an identity (hex:3EA0BE5C0000100000000000)\n"
    "  LETTER  A: to Z:, or none\n"
    "  OLD     a letter the clone holds (C:), an identity (hex:..., gpt:{partition-guid},\n"
    "          mbr:SIGNATURE:OFFSET) or a whole disk (disk:5CBEA03E, disk:{disk-guid})\n"
    "  NEW     a partition of the examined disks, or for a whole disk a disk or image\n"
    "  NEW-ID  8 hexadecimal digits (MBR) or a braced GUID (GPT)\n"
    "  DISK    a block device, disk image or VM image (qcow2, VMDK, VHDX, VHD, VDI); for fix,\n"
    "          the clone's disk, repaired by what it holds\n"
    "  PART    the partition of DISK holding the Windows to repair (clone.img#3)\n"
    "  --disk  a block device or disk image to examine; without it, every disk of this machine\n"
    "  N       the logical sector size of the disk images: 512, 1024, 2048 or 4096 (a device\n"
    "          tells its own)\n"
    "  BUS     nvme, ahci, ide, usb, virtio, hyperv, pvscsi or lsisas: the disk controller the\n"
    "          clone will start from\n";

namespace {

// The flags without a value, and the verbs that take each.
struct Flag {
    std::string_view name;
    bool Options::*member;
    std::string_view verbs;
};
constexpr Flag kFlags[] = {
    {.name = "--json", .member = &Options::json, .verbs = "show fix"},
    {.name = "--dry-run", .member = &Options::dryRun, .verbs = "set move disk-id fix"},
    {.name = "--no-backup", .member = &Options::noBackup, .verbs = "set move fix"},
    {.name = "--force-hibernated", .member = &Options::forceHibernated, .verbs = "set move fix"},
    {.name = "--force-bitlocker", .member = &Options::forceBitlocker, .verbs = "move fix"},
    {.name = "--force", .member = &Options::force, .verbs = "set move disk-id fix"},
};

// The options that take a value, and the verbs that take each.
struct ValueOption {
    std::string_view name;
    std::string_view verbs;
    bool (*take)(const std::string& value, Options* options, std::string* error);
};

bool TakeBus(const std::string& value, std::string* bus, std::string_view option, std::string* error)
{
    if (!IsBusName(value)) {
        *error = std::string(option) + " needs a bus: nvme, ahci, ide, usb, virtio, hyperv, pvscsi or lsisas";
        return false;
    }
    *bus = value;
    return true;
}

constexpr ValueOption kValueOptions[] = {
    {.name = "--disk",
     .verbs = "show set move disk-id fix",
     .take = [](const std::string& value, Options* options, std::string*) {
         options->disks.push_back(value);
         return true;
     }},
    {.name = "--bus",
     .verbs = "show fix",
     .take = [](const std::string& value, Options* options, std::string* error) {
         return TakeBus(value, &options->bus, "--bus", error);
     }},
    {.name = "--boot-driver",
     .verbs = "set",
     .take = [](const std::string& value, Options* options, std::string* error) {
         std::string bus;
         if (!TakeBus(value, &bus, "--boot-driver", error))
             return false;
         if (std::find(options->bootDrivers.begin(), options->bootDrivers.end(), bus) == options->bootDrivers.end())
             options->bootDrivers.push_back(bus);
         return true;
     }},
    {.name = "--windows",
     .verbs = "fix",
     .take = [](const std::string& value, Options* options, std::string*) {
         options->windows = value;
         return true;
     }},
    {.name = "--backup-dir",
     .verbs = "fix",
     .take = [](const std::string& value, Options* options, std::string* error) {
         if (value.empty()) {
             *error = "--backup-dir needs a folder";
             return false;
         }
         options->backupDir = value;
         return true;
     }},
    {.name = "--sector-size",
     .verbs = "show set move disk-id fix",
     .take = [](const std::string& value, Options* options, std::string* error) {
         for (unsigned size : {512u, 1024u, 2048u, 4096u})
             if (value == std::to_string(size)) {
                 options->sectorSize = size;
                 return true;
             }
         *error = "--sector-size needs 512, 1024, 2048 or 4096";
         return false;
     }},
    {.name = "--bcd",
     .verbs = "show move",
     .take = [](const std::string& value, Options* options, std::string*) {
         options->bcd = value;
         return true;
     }},
};

constexpr std::string_view kVerbs[] = {"show", "set", "move", "disk-id", "fix"};

bool TakesOption(std::string_view verbs, std::string_view verb)
{
    while (!verbs.empty()) {
        std::size_t space = verbs.find(' ');
        if (verbs.substr(0, space) == verb)
            return true;
        verbs = space == std::string_view::npos ? std::string_view() : verbs.substr(space + 1);
    }
    return false;
}

bool ParseAssignment(const std::string& arg, Options* options, std::string* error)
{
    // LETTER never holds "=", so a path may.
    std::size_t eq = arg.rfind('=');
    std::string volume = arg.substr(0, eq);
    std::string letter = arg.substr(eq + 1);
    if (volume.empty() || (!IsLetter(letter) && CompareNoCase(letter, "none") != 0)) {
        *error = "malformed assignment \"" + arg + "\": LETTER is A: to Z: or none";
        return false;
    }
    std::vector<std::uint8_t> bytes;
    if (volume.rfind("hex:", 0) == 0 && (volume.size() == 4 || !ParseHex(volume.substr(4), &bytes))) {
        *error = "malformed identity in \"" + arg + "\": an even number of hexadecimal digits";
        return false;
    }
    options->assignments.emplace_back(volume, IsLetter(letter) ? Upper(letter) : "");
    return true;
}

} // namespace



bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error)
{
    if (args.empty()) {
        *error = "no command given";
        return false;
    }
    options->verb = args[0];
    bool known = false;
    for (std::string_view verb : kVerbs)
        known = known || verb == options->verb;
    if (!known) {
        *error = "unknown command \"" + options->verb + "\"";
        return false;
    }
    const std::string& verb = options->verb;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const Flag* flag = nullptr;
        for (const Flag& candidate : kFlags)
            if (arg == candidate.name && TakesOption(candidate.verbs, verb))
                flag = &candidate;
        const ValueOption* valued = nullptr;
        std::string value;
        for (const ValueOption& candidate : kValueOptions) {
            if (!TakesOption(candidate.verbs, verb))
                continue;
            if (arg == candidate.name) {
                if (i + 1 == args.size()) {
                    *error = arg + " needs a value";
                    return false;
                }
                valued = &candidate;
                value = args[++i];
            } else if (arg.size() > candidate.name.size() && arg.starts_with(candidate.name) &&
                       arg[candidate.name.size()] == '=') {
                valued = &candidate;
                value = arg.substr(candidate.name.size() + 1);
            }
        }
        if (flag != nullptr) {
            options->*(flag->member) = true;
        } else if (valued != nullptr) {
            if (!valued->take(value, options, error))
                return false;
        } else if (arg.rfind("--", 0) == 0) {
            *error = "unknown option " + arg;
            return false;
        } else if (options->hive.empty()) {
            options->hive = arg;
        } else if (verb == "set" && arg.find('=') != std::string::npos) {
            if (!ParseAssignment(arg, options, error))
                return false;
        } else if (verb == "move" && arg.find('=') != std::string::npos) {
            // OLD never holds "=", so NEW (a path) may.
            std::size_t eq = arg.find('=');
            if (eq == 0 || eq + 1 == arg.size()) {
                *error = "malformed move \"" + arg + "\": OLD=NEW";
                return false;
            }
            options->moves.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
        } else if (verb == "disk-id" && options->newId.empty()) {
            options->newId = arg;
        } else {
            *error = "unexpected argument \"" + arg + "\"";
            return false;
        }
    }
    if (options->hive.empty()) {
        *error = verb == "disk-id" || verb == "fix" ? "no disk given" : "no file given";
        return false;
    }
    if (verb == "set" && options->assignments.empty() && options->bootDrivers.empty()) {
        *error = "no VOLUME=LETTER or --boot-driver given";
        return false;
    }
    if (verb == "move" && options->moves.empty()) {
        *error = "no OLD=NEW given";
        return false;
    }
    if (options->noBackup && !options->backupDir.empty()) {
        *error = "--backup-dir names where the backup goes, and --no-backup asks for none";
        return false;
    }
    return true;
}
