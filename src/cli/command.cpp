#include "cli/command.h"

#include "cli/disks.h"
#include "cli/hive_file_registry.h"
#include "hive/hive_file.h"
#include "hive/log_recovery.h"
#include "mounttable/identity.h"
#include "mounttable/letter_plan.h"
#include "mounttable/text.h"

#include <nlohmann/json.hpp>

#include <dirent.h>
#include <stdio.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

namespace {

using Json = nlohmann::ordered_json;
using Identity = std::vector<std::uint8_t>;

constexpr const char* kUsage =
    "usage: voskarelle show HIVE [--disk PATH]... [--json]\n"
    "       voskarelle set HIVE VOLUME=LETTER... [--disk PATH]... [--dry-run] [--no-backup]\n"
    "                      [--force-hibernated]\n"
    "  VOLUME  a letter the clone holds now (E:), a partition (/dev/sdb2, clone.img#2)\n"
    "          or an identity (hex:3EA0BE5C0000100000000000)\n"
    "  LETTER  A: to Z:, or none\n"
    "  --disk  a block device or disk image to examine; without it, every disk of this machine\n";

struct Options {
    std::string verb;
    std::string hive;
    std::vector<std::string> disks;
    std::vector<std::pair<std::string, std::string>> assignments; // VOLUME, LETTER
    bool json = false;
    bool dryRun = false;
    bool noBackup = false;
    bool forceHibernated = false;
};

// What was found out about the hive file before it was opened.
struct HiveFacts {
    BaseBlock base;
    std::vector<std::string> logs; // transaction logs beside a dirty hive
    std::string hibernationImage;  // the hiberfil.sys that begins with "hibr"
};

struct CloneEntry {
    std::string letter; // the letter part, "C:"
    std::string name;
    Identity data;
};

struct Report {
    std::string hive;
    std::vector<std::string> recoveredFrom; // logs applied to the base file
    std::string recovery;                   // what the recovery did, in words
    std::vector<CloneEntry> entries;
    std::vector<RegValue> volumeNames; // "\??\Volume{...}" values
    DiskScan scan;
    std::vector<std::string> warnings;
};

struct Failure {
    int status;
    std::string message;
};

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

std::string BaseName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            names.emplace_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error)
{
    if (args.empty()) {
        *error = "no command given";
        return false;
    }
    options->verb = args[0];
    if (options->verb != "show" && options->verb != "set") {
        *error = "unknown command \"" + options->verb + "\"";
        return false;
    }
    bool set = options->verb == "set";
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--disk") {
            if (i + 1 == args.size()) {
                *error = "--disk needs a path";
                return false;
            }
            options->disks.push_back(args[++i]);
        } else if (arg.rfind("--disk=", 0) == 0) {
            options->disks.push_back(arg.substr(7));
        } else if (arg == "--json" && !set) {
            options->json = true;
        } else if (arg == "--dry-run" && set) {
            options->dryRun = true;
        } else if (arg == "--no-backup" && set) {
            options->noBackup = true;
        } else if (arg == "--force-hibernated" && set) {
            options->forceHibernated = true;
        } else if (arg.rfind("--", 0) == 0) {
            *error = "unknown option " + arg;
            return false;
        } else if (options->hive.empty()) {
            options->hive = arg;
        } else if (set && arg.find('=') != std::string::npos) {
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
        } else {
            *error = "unexpected argument \"" + arg + "\"";
            return false;
        }
    }
    if (options->hive.empty()) {
        *error = "no hive file given";
        return false;
    }
    if (set && options->assignments.empty()) {
        *error = "no VOLUME=LETTER given";
        return false;
    }
    return true;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    std::uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    close(fd);
    return bytes;
}

// The recovered hive as a file for libhivex, which opens hives by path,
// kept in memory only and gone with the process.
class MemoryFile {
public:
    MemoryFile() = default;
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool Hold(const std::vector<std::uint8_t>& bytes)
    {
        fd_ = memfd_create("voskarelle-recovered-hive", MFD_CLOEXEC);
        if (fd_ < 0)
            return false;
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_ = -1;
};

std::string RecoveryText(const Recovery& r)
{
    std::string text = "recovered from its transaction logs: ";
    for (std::size_t i = 0; i < r.applied.size(); ++i)
        text += (i ? ", " : "") + r.applied[i];
    text += " (" + std::to_string(r.entries) + (r.entries == 1 ? " entry" : " entries") + ", sequence " +
            std::to_string(r.firstSequence) + (r.lastSequence != r.firstSequence ? "-" + std::to_string(r.lastSequence) : "") +
            ", " + std::to_string(r.pages) + " dirty pages" + (r.baseBlockFromLog ? ", base block from a log" : "") + ")";
    return text;
}

// Renames a log to LOG.voskarelle-YYYYMMDDTHHMMSSZ.bak beside it, never over
// an existing file; the new name, or empty with errno set.
std::string MoveAside(const std::string& log)
{
    std::string base = BackupName(log, std::time(nullptr));
    for (int n = 1; n <= 100; ++n) {
        std::string aside = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".bak";
        if (renameat2(AT_FDCWD, log.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return aside;
        if (errno != EEXIST)
            break;
    }
    return {};
}

bool ReadStart(const std::string& path, std::uint8_t* buffer, std::size_t size, std::size_t* got)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    *got = 0;
    while (*got < size) {
        ssize_t n = read(fd, buffer + *got, size - *got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        *got += static_cast<std::size_t>(n);
    }
    close(fd);
    return true;
}

// The checks made before libhivex sees the file.
bool CheckHiveFile(const std::string& path, bool forWriting, HiveFacts* facts, Failure* failure)
{
    auto refuse = [&](const std::string& message) {
        *failure = {kExitRefused, path + ": " + message};
        return false;
    };
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return refuse(errno == ENOENT ? "no such file" : std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return refuse("is a folder, not a hive file");
    std::uint8_t block[kBaseBlockBytes];
    std::size_t got = 0;
    if (!ReadStart(path, block, sizeof block, &got))
        return refuse(std::string("cannot be read: ") + std::strerror(errno));
    if (!ParseBaseBlock(std::span<const std::uint8_t>(block, got), &facts->base))
        return refuse("not a registry hive file (no \"regf\" base block)");
    if (forWriting) {
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path.c_str(), W_OK) != 0)
            return refuse("is read-only");
        if (access(FolderOf(path).c_str(), W_OK) != 0)
            return refuse("its folder is read-only, so no new hive can be written beside it");
    }
    if (facts->base.Dirty()) {
        for (const std::string& name : FilesIn(FolderOf(path)))
            if (IsHiveLogName(BaseName(path), name))
                facts->logs.push_back(JoinPath(FolderOf(path), name));
    }
    std::string root = CloneRootOfHivePath(path);
    if (!root.empty()) {
        for (const std::string& name : FilesIn(root)) {
            if (CompareNoCase(name, "hiberfil.sys") != 0)
                continue;
            std::uint8_t start[4];
            std::string image = JoinPath(root, name);
            if (ReadStart(image, start, sizeof start, &got) && IsHibernationImage(std::span(start, got)))
                facts->hibernationImage = image;
        }
    }
    return true;
}

std::string DirtyWarning(const std::string& hive, const HiveFacts& facts)
{
    std::ostringstream text;
    if (facts.base.checksumOk)
        text << "the hive is dirty (sequence numbers " << facts.base.primarySequence << " and "
             << facts.base.secondarySequence << ")";
    else
        text << "the hive is dirty (its base block's checksum is wrong)";
    text << ": its latest changes may still sit in its transaction logs";
    if (facts.logs.empty()) {
        text << ", and no log (" << BaseName(hive) << ".LOG1, .LOG2, .LOG) was found beside it";
    } else {
        text << " (";
        for (std::size_t i = 0; i < facts.logs.size(); ++i)
            text << (i ? ", " : "") << facts.logs[i];
        text << "), which are not applied";
    }
    return text.str();
}

std::string HibernationWarning(const HiveFacts& facts)
{
    return "the clone was shut down into hibernation or with Fast Startup (" + facts.hibernationImage +
           " holds a memory image): Windows will resume from it and drop letters written now; start the clone "
           "once and shut it down fully, or turn Fast Startup off";
}

bool ReadCloneTable(HiveFileRegistry& registry, Report* report)
{
    const ValueList* values = registry.KeyValues(kCloneTableKey);
    if (values == nullptr)
        return false;
    report->entries.clear();
    report->volumeNames.clear();
    for (const RegValue& value : *values) {
        if (const char* letter = DriveLetterPart(value.name.c_str()))
            report->entries.push_back({letter, value.name, value.data});
        else if (CompareNoCase(std::string_view(value.name).substr(0, 11), "\\??\\Volume{") == 0)
            report->volumeNames.push_back(value);
    }
    std::stable_sort(report->entries.begin(), report->entries.end(), [](const CloneEntry& a, const CloneEntry& b) {
        return CompareNoCase(a.letter, b.letter) < 0;
    });
    return true;
}

std::map<Identity, std::vector<const Partition*>> PartitionsByIdentity(const DiskScan& scan)
{
    std::map<Identity, std::vector<const Partition*>> found;
    for (const Partition& part : scan.partitions)
        if (!part.identity.empty())
            found[part.identity].push_back(&part);
    return found;
}

void AddDuplicateWarnings(Report* report)
{
    for (const auto& [identity, parts] : PartitionsByIdentity(report->scan)) {
        if (parts.size() < 2)
            continue;
        std::string names;
        for (std::size_t i = 0; i < parts.size(); ++i)
            names += (i == 0 ? "" : (i + 1 == parts.size() ? " and " : ", ")) + parts[i]->path;
        report->warnings.push_back(names + " have the same identity " + HexText(identity) +
                                   " (a whole-disk copy keeps the disk signature; Windows gives one of the "
                                   "disks a new one when both are attached)");
    }
}

std::string SizeText(std::uint64_t bytes)
{
    std::string whole = WholeBinaryUnit(bytes);
    if (!whole.empty())
        return whole;
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 6) {
        value /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string SignatureText(std::uint32_t signature)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", signature);
    return text;
}

std::string IdentityText(const Identity& data)
{
    DecodedIdentity id = DecodeIdentity(data);
    switch (id.kind) {
    case IdentityKind::Mbr: {
        std::string unit = WholeBinaryUnit(id.offset);
        return "MBR disk " + SignatureText(id.diskSignature) + ", partition at " + std::to_string(id.offset) + " bytes" +
               (unit.empty() ? "" : " (" + unit + ")");
    }
    case IdentityKind::Gpt:
        return "GPT partition " + GuidText(id.guid);
    case IdentityKind::Device:
        return "device " + Utf16ToUtf8(id.devicePath);
    case IdentityKind::Other:
        break;
    }
    return "other, " + std::to_string(data.size()) + " bytes";
}

std::string PartitionText(const Partition& part)
{
    std::string text = part.path + " (" + (part.fs.empty() ? "unknown file system" : part.fs);
    if (!part.label.empty())
        text += ", label \"" + part.label + "\"";
    return text + ", " + SizeText(part.size) + ")";
}

Json PartitionJson(const Partition& part)
{
    return Json{{"path", part.path}, {"fs", part.fs}, {"label", part.label}, {"size", part.size}};
}

std::vector<std::string> VolumeNamesOf(const Report& report, const Identity& data)
{
    std::vector<std::string> names;
    for (const RegValue& value : report.volumeNames)
        if (value.data == data)
            names.push_back(value.name);
    return names;
}

bool HasLetter(const Report& report, const Identity& identity)
{
    return std::any_of(report.entries.begin(), report.entries.end(),
                       [&](const CloneEntry& entry) { return entry.data == identity; });
}

void PrintText(const Report& report, std::ostream& out)
{
    auto byIdentity = PartitionsByIdentity(report.scan);
    out << "Hive: " << report.hive << "\n";
    if (!report.recovery.empty())
        out << "Read as " << report.recovery << "\n";
    if (report.entries.empty())
        out << "The clone's MountedDevices gives no drive letter.\n";
    for (const CloneEntry& entry : report.entries) {
        DecodedIdentity id = DecodeIdentity(entry.data);
        out << entry.letter << "  " << IdentityText(entry.data) << "\n";
        out << "    identity " << IdentityKindName(id.kind) << " " << HexText(entry.data) << "\n";
        for (const std::string& name : VolumeNamesOf(report, entry.data))
            out << "    volume   " << name << "\n";
        auto found = byIdentity.find(entry.data);
        if (found == byIdentity.end()) {
            out << "    on       no partition of the examined disks\n";
        } else {
            for (const Partition* part : found->second)
                out << "    on       " << PartitionText(*part) << "\n";
        }
    }
    bool heading = false;
    for (const Partition& part : report.scan.partitions) {
        if (part.identity.empty() || HasLetter(report, part.identity))
            continue;
        if (!heading)
            out << "Partitions the clone gives no letter:\n";
        heading = true;
        out << "  " << PartitionText(part) << "\n    " << IdentityText(part.identity) << "\n";
    }
    out << "Disks examined:";
    if (report.scan.disks.empty())
        out << " none";
    for (const DiskInfo& disk : report.scan.disks) {
        out << "\n  " << disk.path;
        if (!disk.error.empty())
            out << " (not readable: " << disk.error << ")";
        else
            out << " (" << (disk.table.empty() ? "no partition table" : disk.table + " partition table") << ")";
    }
    out << "\n";
    for (const std::string& warning : report.warnings)
        out << "Warning: " << warning << "\n";
}

void PrintJson(const Report& report, std::ostream& out)
{
    auto byIdentity = PartitionsByIdentity(report.scan);
    Json entries = Json::array();
    for (const CloneEntry& entry : report.entries) {
        DecodedIdentity id = DecodeIdentity(entry.data);
        Json item{{"letter", entry.letter}, {"identity", HexText(entry.data)}, {"kind", IdentityKindName(id.kind)}};
        if (id.kind == IdentityKind::Mbr) {
            item["disk_signature"] = SignatureText(id.diskSignature);
            item["offset"] = id.offset;
        } else if (id.kind == IdentityKind::Gpt) {
            item["partition_guid"] = GuidText(id.guid);
        } else if (id.kind == IdentityKind::Device) {
            item["device_path"] = Utf16ToUtf8(id.devicePath);
        }
        item["volume_names"] = VolumeNamesOf(report, entry.data);
        auto found = byIdentity.find(entry.data);
        item["partition"] = found == byIdentity.end() ? Json(nullptr) : PartitionJson(*found->second.front());
        entries.push_back(std::move(item));
    }
    Json unlettered = Json::array();
    for (const Partition& part : report.scan.partitions) {
        if (part.identity.empty() || HasLetter(report, part.identity))
            continue;
        unlettered.push_back(Json{{"path", part.path},
                                  {"identity", HexText(part.identity)},
                                  {"kind", IdentityKindName(DecodeIdentity(part.identity).kind)},
                                  {"fs", part.fs},
                                  {"label", part.label},
                                  {"size", part.size}});
    }
    Json disks = Json::array();
    for (const DiskInfo& disk : report.scan.disks) {
        Json item{{"path", disk.path}, {"readable", disk.error.empty()}};
        item["table"] = disk.table.empty() ? Json(nullptr) : Json(disk.table);
        if (!disk.error.empty())
            item["error"] = disk.error;
        disks.push_back(std::move(item));
    }
    Json doc{{"hive", report.hive},   {"recovered_from", report.recoveredFrom}, {"entries", entries},
             {"unlettered", unlettered}, {"disks", disks}, {"warnings", report.warnings}};
    // Names and labels come from foreign disks: bytes that are no UTF-8 are
    // replaced rather than failing the whole report.
    out << doc.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

// Images named in VOLUME arguments ("clone.img#2") are examined too.
std::vector<std::string> DisksToExamine(const Options& options)
{
    std::vector<std::string> disks = options.disks;
    for (const auto& [volume, letter] : options.assignments) {
        std::size_t hash = volume.rfind('#');
        if (hash == std::string::npos || volume.rfind("hex:", 0) == 0)
            continue;
        std::string image = volume.substr(0, hash);
        if (std::find(disks.begin(), disks.end(), image) == disks.end())
            disks.push_back(image);
    }
    return disks;
}

const Partition* FindPartition(const DiskScan& scan, const std::string& path)
{
    for (const Partition& part : scan.partitions)
        if (part.path == path)
            return &part;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr)
        for (const Partition& part : scan.partitions)
            if (part.path == resolved)
                return &part;
    return nullptr;
}

bool ResolveVolume(const Report& report, const std::string& volume, Identity* identity, Failure* failure)
{
    auto byIdentity = PartitionsByIdentity(report.scan);
    if (IsLetter(volume)) {
        for (const CloneEntry& entry : report.entries) {
            if (CompareNoCase(entry.letter, volume) == 0) {
                *identity = entry.data;
                return true;
            }
        }
        *failure = {kExitRefused, "the clone gives no volume the letter " + Upper(volume)};
        return false;
    }
    if (volume.rfind("hex:", 0) == 0) {
        ParseHex(volume.substr(4), identity);
        if (!HasLetter(report, *identity) && byIdentity.count(*identity) == 0 &&
            VolumeNamesOf(report, *identity).empty()) {
            *failure = {kExitRefused, "no volume of the clone's table or the examined disks has the identity " +
                                          HexText(*identity)};
            return false;
        }
    } else {
        const Partition* part = FindPartition(report.scan, volume);
        if (part == nullptr) {
            *failure = {kExitRefused, volume + " is no partition of the examined disks"};
            return false;
        }
        if (part->identity.empty()) {
            *failure = {kExitRefused, volume + " is on a disk whose partition table Windows names no volume by"};
            return false;
        }
        *identity = part->identity;
    }
    auto found = byIdentity.find(*identity);
    if (found != byIdentity.end() && found->second.size() > 1) {
        *failure = {kExitRefused, volume + " is ambiguous: " + found->second[0]->path + " and " +
                                      found->second[1]->path + " have its identity " + HexText(*identity)};
        return false;
    }
    return true;
}

int Refuse(std::ostream& err, const Failure& failure)
{
    err << "voskarelle: " << failure.message << "\n";
    if (failure.status == kExitUsage)
        err << kUsage;
    return failure.status;
}

} // namespace

int RunVoskarelle(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, CommitFiles& files)
{
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        out << kUsage;
        return kExitOk;
    }
    Options options;
    std::string usageError;
    if (!ParseOptions(args, &options, &usageError))
        return Refuse(err, {kExitUsage, usageError});
    bool set = options.verb == "set";
    bool write = set && !options.dryRun;

    HiveFacts facts;
    Failure failure;
    if (!CheckHiveFile(options.hive, write, &facts, &failure))
        return Refuse(err, failure);
    Report report;
    report.hive = options.hive;
    // A dirty hive is read as Windows would load it: recovered in memory
    // from its transaction logs. The base file itself is only ever replaced.
    Recovery recovery;
    if (facts.base.Dirty()) {
        std::vector<HiveLog> logs;
        for (const std::string& log : facts.logs)
            logs.push_back({log, ReadWholeFile(log)});
        std::vector<std::uint8_t> base = ReadWholeFile(options.hive);
        recovery = RecoverHive(base, logs);
        if (!recovery.recovered) {
            std::string why = DirtyWarning(options.hive, facts) + "; " + recovery.why;
            if (write)
                return Refuse(err, {kExitRefused, options.hive + ": " + why +
                                                      ". Writing the base file alone would make Windows discard "
                                                      "what the logs hold, so nothing was changed"});
            report.warnings.push_back(why + "; shown without them");
        } else {
            report.recoveredFrom = recovery.applied;
            report.recovery = RecoveryText(recovery);
        }
    }
    if (!facts.hibernationImage.empty()) {
        if (write && !options.forceHibernated)
            return Refuse(err, {kExitRefused, HibernationWarning(facts) +
                                                  "; nothing was changed (--force-hibernated writes all the same)"});
        report.warnings.push_back(HibernationWarning(facts));
    }

    HiveFileRegistry registry;
    MemoryFile recovered;
    std::string source = options.hive;
    if (recovery.recovered) {
        if (!recovered.Hold(recovery.hive))
            return Refuse(err, {kExitRefused, std::string("cannot hold the recovered hive: ") + std::strerror(errno)});
        source = recovered.path();
        std::vector<std::uint8_t>().swap(recovery.hive);
    }
    errno = 0;
    if (registry.LoadKey(kCloneMountKey, source.c_str()) != kRegSuccess)
        return Refuse(err, {kExitRefused, options.hive + ": libhivex cannot open it as a hive (" +
                                              std::strerror(errno ? errno : EINVAL) + ")"});
    if (!ReadCloneTable(registry, &report))
        return Refuse(err, {kExitRefused, options.hive + ": the hive has no readable MountedDevices key"});

    report.scan = ScanDisks(DisksToExamine(options));
    AddDuplicateWarnings(&report);

    if (!set) {
        if (options.json)
            PrintJson(report, out);
        else
            PrintText(report, out);
        return kExitOk;
    }

    std::vector<LetterAssignment> assignments;
    for (const auto& [volume, letter] : options.assignments) {
        Identity identity;
        if (!ResolveVolume(report, volume, &identity, &failure))
            return Refuse(err, failure);
        assignments.push_back({identity, letter});
    }
    std::vector<LetterEntry> entries;
    for (const CloneEntry& entry : report.entries)
        entries.push_back({entry.name, entry.data});
    LetterPlan plan;
    switch (PlanLetterAssignments(entries, assignments, &plan)) {
    case PlanError::LetterTwice:
        return Refuse(err, {kExitRefused, "the same letter is given to two volumes"});
    case PlanError::VolumeTwice:
        return Refuse(err, {kExitRefused, "the same volume is given two letters"});
    case PlanError::None:
        break;
    }

    RegKey key = nullptr;
    bool applied = registry.OpenKey(kCloneTableKey, &key) == kRegSuccess && ApplyLetterPlan(registry, key, plan);
    if (key != nullptr)
        registry.CloseKey(key);
    if (!applied)
        return Refuse(err, {kExitRefused, "the change could not be made; nothing was written"});
    ReadCloneTable(registry, &report);

    if (options.dryRun) {
        PrintText(report, out);
        out << "Dry run: the hive was not changed.\n";
        return kExitOk;
    }
    std::string backup;
    std::string error;
    bool committed = CommitHive(registry, options.hive, options.noBackup ? nullptr : &backup, files, &error);
    if (!backup.empty())
        out << "Backup: " << backup << "\n";
    if (!committed)
        return Refuse(err, {kExitRefused, error});
    // The new hive is clean, so Windows would ignore these logs; moved aside
    // all the same, no stale log can ever be replayed over it.
    for (const std::string& log : report.recoveredFrom) {
        std::string aside = MoveAside(log);
        if (aside.empty())
            err << "voskarelle: warning: could not move " << log << " aside: " << std::strerror(errno) << "\n";
        else
            out << "Log moved aside: " << aside << "\n";
    }
    PrintText(report, out);
    out << "Written: " << options.hive << "\n";
    return kExitOk;
}
