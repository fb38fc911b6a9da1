#include "cli/options.h"

#include "cli/bus.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <algorithm>
#include <cstdint>

const char kUsage[] =
    "usage: voskarelle show HIVE [--disk PATH]... [--bus BUS] [--json]\n"
    "       voskarelle set HIVE [VOLUME=LETTER]... [--boot-driver BUS]... [--disk PATH]... [--dry-run]\n"
    "                      [--no-backup] [--force-hibernated]\n"
    "       voskarelle --version | --help\n"
    "  VOLUME  a letter the clone holds now (E:), a partition (/dev/sdb2, clone.img#2)\n"
    "          or an identity (hex:3EA0BE5C0000100000000000)\n"
    "  LETTER  A: to Z:, or none\n"
    "  --disk  a block device or disk image to examine; without it, every disk of this machine\n"
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
    {.name = "--json", .member = &Options::json, .verbs = "show"},
    {.name = "--dry-run", .member = &Options::dryRun, .verbs = "set"},
    {.name = "--no-backup", .member = &Options::noBackup, .verbs = "set"},
    {.name = "--force-hibernated", .member = &Options::forceHibernated, .verbs = "set"},
};

constexpr std::string_view kVerbs[] = {"show", "set"};

bool TakesFlag(const Flag& flag, std::string_view verb)
{
    std::string_view verbs = flag.verbs;
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

bool IsLetter(std::string_view text)
{
    return text.size() == 2 && text[1] == ':' &&
           ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

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
    bool set = options->verb == "set";
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const Flag* flag = nullptr;
        for (const Flag& candidate : kFlags)
            if (arg == candidate.name && TakesFlag(candidate, options->verb))
                flag = &candidate;
        if (flag != nullptr) {
            options->*(flag->member) = true;
        } else if (arg == "--disk") {
            if (i + 1 == args.size()) {
                *error = "--disk needs a path";
                return false;
            }
            options->disks.push_back(args[++i]);
        } else if ((arg == "--bus" || arg == "--boot-driver") && (options->verb == "show" || set) &&
                   (arg == "--bus" || set)) {
            if (i + 1 == args.size() || !IsBusName(args[i + 1])) {
                *error = arg + " needs a bus: nvme, ahci, ide, usb, virtio, hyperv, pvscsi or lsisas";
                return false;
            }
            const std::string& bus = args[++i];
            if (arg == "--bus")
                options->bus = bus;
            else if (std::find(options->bootDrivers.begin(), options->bootDrivers.end(), bus) ==
                     options->bootDrivers.end())
                options->bootDrivers.push_back(bus);
        } else if (arg.rfind("--disk=", 0) == 0) {
            options->disks.push_back(arg.substr(7));
        } else if (arg.rfind("--", 0) == 0) {
            *error = "unknown option " + arg;
            return false;
        } else if (options->hive.empty()) {
            options->hive = arg;
        } else if (set && arg.find('=') != std::string::npos) {
            if (!ParseAssignment(arg, options, error))
                return false;
        } else {
            *error = "unexpected argument \"" + arg + "\"";
            return false;
        }
    }
    if (options->hive.empty()) {
        *error = "no hive file given";
        return false;
    }
    if (set && options->assignments.empty() && options->bootDrivers.empty()) {
        *error = "no VOLUME=LETTER or --boot-driver given";
        return false;
    }
    return true;
}
