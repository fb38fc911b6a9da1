#include "cli/hivefile/hive_input.h"

#include "cli/verbs/command.h"
#include "cli/machine/commit.h"
#include "cli/machine/fd.h"
#include "cli/volume/file_read.h"
#include "cli/report/render.h"
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

bool FilesIn(const std::string& folder, std::vector<std::string>* names)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    errno = 0;
    while (dirent* entry = readdir(dir))
        names->emplace_back(entry->d_name);
    bool ok = errno == 0;
    closedir(dir);
    std::sort(names->begin(), names->end());
    return ok;
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

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

// The checks made before libhivex sees the file, on its real path.
bool CheckHiveFile(const std::string& path, const HivePolicy& policy, HiveFacts* facts,
                   std::vector<std::uint8_t>* whole, std::string* hibernationDoubt, Failure* failure)
{
    auto refuse = [&](const std::string& message) {
        *failure = {kExitRefused, message};
        return false;
    };
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return refuse(path + ": " + (errno == ENOENT ? "no such file" : std::strerror(errno)));
    if (!S_ISREG(st.st_mode))
        return refuse(path + ": is " + FileTypeName(st.st_mode) + ", not a hive file");
    std::uint8_t block[kBaseBlockBytes];
    std::size_t got = 0;
    std::string error;
    if (!ReadFileStart(path, block, sizeof block, &got, &error))
        return refuse(error);
    if (!ParseBaseBlock(std::span<const std::uint8_t>(block, got), &facts->base))
        return refuse(path + ": not a registry hive file (no \"regf\" base block)");
    if (policy.forWriting) {
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path.c_str(), W_OK) != 0)
            return refuse(path + ": is read-only");
        if (access(FolderOf(path).c_str(), W_OK) != 0)
            return refuse(path + ": its folder is read-only, so no new hive can be written beside it");
    }
    // Recovery needs the whole base file, read once.
    if (facts->base.Dirty() && !ReadWholeFile(path, whole, &error))
        return refuse(error);
    std::vector<std::string> names;
    if (facts->base.Dirty()) {
        if (!FilesIn(FolderOf(path), &names))
            return refuse(FolderOf(path) + ": cannot be listed, so the hive's transaction logs cannot be found: " +
                          std::strerror(errno));
        for (const std::string& name : names)
            if (IsHiveLogName(BaseName(path), name))
                facts->logs.push_back(JoinPath(FolderOf(path), name));
    }
    std::string root = CloneRootOfHivePath(path);
    names.clear();
    if (!root.empty() && !FilesIn(root, &names))
        *hibernationDoubt = root + ": cannot be listed: " + std::strerror(errno);
    if (!root.empty()) {
        for (const std::string& name : names) {
            if (CompareNoCase(name, "hiberfil.sys") != 0)
                continue;
            std::uint8_t start[4];
            std::string image = JoinPath(root, name);
            if (!ReadFileStart(image, start, sizeof start, &got, &error))
                *hibernationDoubt = error;
            else if (IsHibernationImage(std::span(start, got)))
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

std::string BaseName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

bool OpenHiveInput(const std::string& path, const HivePolicy& policy, HiveInput* input, Failure* failure)
{
    input->path = path;
    // Everything happens beside the real file: a link to the hive stays a
    // link, and a bare name gets the same checks as a full one.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        *failure = {kExitRefused, path + ": " + (errno == ENOENT ? "no such file" : std::strerror(errno))};
        return false;
    }
    input->realPath = resolved;
    const std::string& real = input->realPath;
    std::vector<std::uint8_t> base;
    std::string hibernationDoubt;
    if (!CheckHiveFile(real, policy, &input->facts, &base, &hibernationDoubt, failure))
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
            HiveLog read{log, {}};
            std::string error;
            if (!ReadWholeFile(log, &read.bytes, &error))
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
            std::string why = DirtyWarning(path, facts) + "; " + recovery.why;
            if (policy.forWriting) {
                *failure = {kExitRefused, path + ": " + why +
                                              ". Writing the base file alone would make Windows discard "
                                              "what the logs hold, so nothing was changed"};
                return false;
            }
            input->warnings.push_back(why + "; shown without them");
        } else {
            input->recoveredFrom = recovery.applied;
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

    std::string source = real;
    if (recovery.recovered) {
        if (!input->recovered.Hold(recovery.hive)) {
            *failure = {kExitRefused, std::string("cannot hold the recovered hive: ") + std::strerror(errno)};
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

void SetLogsAside(const HiveInput& input, CommitFiles& files, std::ostream& out, std::ostream& err)
{
    if (input.recoveredFrom.empty())
        return;
    for (const std::string& log : input.recoveredFrom) {
        std::string aside = MoveAside(log, files);
        if (aside.empty())
            err << "voskarelle: warning: could not move " << OneLine(log) << " aside: " << std::strerror(errno)
                << " (the new hive is clean, so Windows does not replay it)\n";
        else
            out << "Log moved aside: " << OneLine(aside) << "\n";
    }
    std::string error;
    if (!FlushFolder(FolderOf(input.realPath), files, &error))
        err << "voskarelle: warning: " << OneLine(error) << "\n";
}
