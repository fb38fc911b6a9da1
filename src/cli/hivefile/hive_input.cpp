#include "cli/hivefile/hive_input.h"
#include "cli/hivefile/boot_store_file.h"

#include "cli/commit/commit.h"
#include "cli/machine/fd.h"
#include "cli/disk/image_users.h"
#include "cli/machine/printable.h"
#include "hive/log_recovery.h"
#include "mounttable/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

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

// The checks made before libhivex sees the file, on the file itself.
bool CheckHiveFile(const FileRef& file, HiveFacts* facts, std::vector<std::uint8_t>* whole,
                   std::string* hibernationDoubt, Failure* failure)
{
    auto refuse = [&](const std::string& message) {
        *failure = {kExitRefused, message};
        return false;
    };
    FileSystem& fs = *file.fs;
    const std::string& path = file.path;
    std::string name = file.Name();
    FileFacts kind;
    std::string error;
    if (!fs.Facts(path, &kind, &error))
        return refuse(error);
    if (kind.type == FileFacts::Type::Missing)
        return refuse(name + ": no such file");
    if (kind.type != FileFacts::Type::Regular)
        return refuse(name + ": is " + kind.what + ", not a hive file");
    std::vector<std::uint8_t> block;
    if (!fs.ReadStart(path, kBaseBlockBytes, &block, &error))
        return refuse(error);
    if (!ParseBaseBlock(block, &facts->base))
        return refuse(name + ": not a registry hive file (no \"regf\" base block)");
    // Recovery needs the whole base file, read once.
    if (facts->base.Dirty() && !fs.Read(path, whole, &error))
        return refuse(error);
    std::vector<std::string> names;
    if (facts->base.Dirty()) {
        if (!fs.List(FolderOf(path), &names, &error))
            return refuse(error + ", so the hive's transaction logs cannot be found");
        for (const std::string& entry : names)
            if (IsHiveLogName(BaseName(path), entry))
                facts->logs.push_back(JoinPath(FolderOf(path), entry));
    }
    std::string root = CloneRootOfHivePath(path);
    if (root.empty() && path.starts_with("/Windows/"))
        root = "/";
    names.clear();
    if (!root.empty() && !fs.List(root, &names, &error))
        *hibernationDoubt = error;
    for (const std::string& entry : names) {
        if (CompareNoCase(entry, "hiberfil.sys") != 0)
            continue;
        std::vector<std::uint8_t> start;
        std::string image = JoinPath(root, entry);
        if (!fs.ReadStart(image, 4, &start, &error))
            *hibernationDoubt = error;
        else if (IsHibernationImage(start))
            facts->hibernationImage = fs.Name(image);
    }
    return true;
}

std::string DirtyWarning(const std::string& hive, const HiveFacts& facts, const FileSystem& fs)
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
            text << (i ? ", " : "") << fs.Name(facts.logs[i]);
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

} // namespace

MemoryFile::~MemoryFile()
{
    if (fd_ >= 0)
        close(fd_);
}

bool MemoryFile::Hold(const std::vector<std::uint8_t>& bytes)
{
    fd_ = memfd_create("voskarelle-recovered-hive", MFD_CLOEXEC);
    return fd_ >= 0 && WriteAll(fd_, bytes.data(), bytes.size());
}

bool OpenHiveInput(Volumes& volumes, const std::string& path, const HivePolicy& policy, HiveInput* input,
                   Failure* failure)
{
    input->path = path;
    std::string error;
    if (!volumes.Locate(path, &input->file, &error)) {
        *failure = {kExitRefused, error};
        return false;
    }
    FileSystem& fs = *input->file.fs;
    std::vector<std::uint8_t> base;
    std::string hibernationDoubt;
    if (!CheckHiveFile(input->file, &input->facts, &base, &hibernationDoubt, failure))
        return false;
    const HiveFacts& facts = input->facts;
    std::uint32_t minorVersion = facts.base.minorVersion;
    // A dirty hive is read as Windows would load it: recovered in memory
    // from its transaction logs. The base file itself is only ever replaced.
    Recovery recovery;
    if (facts.base.Dirty()) {
        std::vector<HiveLog> logs;
        std::string unreadable;
        for (const std::string& log : facts.logs) {
            HiveLog read{fs.Name(log), {}};
            if (!fs.Read(log, &read.bytes, &error))
                unreadable += (unreadable.empty() ? "" : "; ") + error;
            logs.push_back(std::move(read));
        }
        // Part of the logs is no recovery: what the unread log holds would
        // be missing from a hive that looks whole.
        if (unreadable.empty())
            recovery = RecoverHive(base, logs);
        else
            recovery.why = "a log cannot be read, so the hive cannot be recovered (" + unreadable + ")";
        if (!recovery.recovered) {
            std::string why = DirtyWarning(path, facts, fs) + "; " + recovery.why;
            if (policy.forWriting) {
                *failure = {kExitRefused, path + ": " + why +
                                              ". Writing the base file alone would make Windows discard "
                                              "what the logs hold, so nothing was changed"};
                return false;
            }
            input->warnings.push_back(why + "; shown without them");
        } else {
            input->recoveredFrom = recovery.applied;
            for (const std::string& applied : recovery.applied)
                for (const std::string& log : facts.logs)
                    if (fs.Name(log) == applied)
                        input->appliedLogs.push_back(log);
            input->recovery = RecoveryText(recovery);
            BaseBlock recovered;
            minorVersion = ParseBaseBlock(recovery.hive, &recovered) ? recovered.minorVersion
                                                                     : HiveFileRegistry::kUnknownVersion;
        }
    }
    if (!hibernationDoubt.empty() && facts.hibernationImage.empty()) {
        std::string doubt = "cannot tell whether the clone was hibernated: " + hibernationDoubt;
        if (policy.forWriting && !policy.forceHibernated) {
            *failure = {kExitRefused, doubt + "; nothing was changed (--force-hibernated writes all the same)"};
            return false;
        }
        input->warnings.push_back(doubt);
    }
    if (!facts.hibernationImage.empty()) {
        if (policy.forWriting && !policy.forceHibernated) {
            *failure = {kExitRefused,
                        HibernationWarning(facts) + "; nothing was changed (--force-hibernated writes all the same)"};
            return false;
        }
        input->warnings.push_back(HibernationWarning(facts));
    }

    // What keeps the file system from taking the new file, once the clone's
    // own conditions were said.
    if (policy.forWriting) {
        std::string why = fs.WhyNotWritable(input->file.path);
        if (!why.empty()) {
            *failure = {kExitRefused, input->file.Name() + ": " + why};
            return false;
        }
        why = WhyImageNotWritable(volumes.machineRoot(), fs.Source(), policy.forceBaseImage);
        if (!why.empty()) {
            *failure = {kExitRefused, why + "; nothing was changed"};
            return false;
        }
    }
    // libhivex opens a file by its path: a hive of this machine is opened
    // where it is, one recovered or read from inside a partition is held in
    // memory for it.
    std::string source = input->file.path;
    bool local = fs.Partition().empty() && !recovery.recovered;
    if (!local) {
        if (!recovery.recovered && base.empty() && !fs.Read(input->file.path, &base, &error)) {
            *failure = {kExitRefused, error};
            return false;
        }
        if (!input->recovered.Hold(recovery.recovered ? recovery.hive : base)) {
            *failure = {kExitRefused, std::string("cannot hold the hive in memory: ") + std::strerror(errno)};
            return false;
        }
        source = input->recovered.path();
        std::vector<std::uint8_t>().swap(recovery.hive);
    }
    std::vector<std::uint8_t>().swap(base);
    errno = 0;
    if (input->registry.LoadHive(source.c_str(), minorVersion) != kRegSuccess) {
        *failure = {kExitRefused, path + ": libhivex cannot open it as a hive (" +
                                      std::strerror(errno ? errno : EINVAL) + ")"};
        return false;
    }
    return true;
}

bool OpenStoreInput(Volumes& volumes, const std::string& path, const HivePolicy& policy, HiveInput* input,
                    Failure* failure)
{
    if (!OpenHiveInput(volumes, path, policy, input, failure))
        return false;
    if (IsBootStore(input->registry.handle()))
        return true;
    *failure = {kExitRefused, path + ": no boot store (it has no Objects and Description)"};
    return false;
}

void SetLogsAside(const HiveInput& input, std::ostream& out, std::ostream& err)
{
    if (input.appliedLogs.empty())
        return;
    FileSystem& fs = *input.file.fs;
    for (const std::string& log : input.appliedLogs) {
        std::string error;
        std::string aside = MoveAside({&fs, log}, &error);
        if (aside.empty())
            err << "voskarelle: warning: could not move " << OneLine(fs.Name(log)) << " aside: " << OneLine(error)
                << " (the new hive is clean, so Windows does not replay it)\n";
        else
            out << "Log moved aside: " << OneLine(fs.Name(aside)) << "\n";
    }
    std::string error;
    if (!fs.Flush(FolderOf(input.file.path), &error))
        err << "voskarelle: warning: " << OneLine(error) << "\n";
}
