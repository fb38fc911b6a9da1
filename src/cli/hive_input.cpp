#include "cli/hive_input.h"

#include "cli/command.h"
#include "cli/commit.h"
#include "hive/log_recovery.h"
#include "mounttable/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

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

} // namespace

MemoryFile::~MemoryFile()
{
    if (fd_ >= 0)
        close(fd_);
}

bool MemoryFile::Hold(const std::vector<std::uint8_t>& bytes)
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

std::string BaseName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

bool OpenHiveInput(const std::string& path, const HivePolicy& policy, HiveInput* input, Failure* failure)
{
    input->path = path;
    if (!CheckHiveFile(path, policy.forWriting, &input->facts, failure))
        return false;
    const HiveFacts& facts = input->facts;
    // A dirty hive is read as Windows would load it: recovered in memory
    // from its transaction logs. The base file itself is only ever replaced.
    Recovery recovery;
    if (facts.base.Dirty()) {
        std::vector<HiveLog> logs;
        for (const std::string& log : facts.logs)
            logs.push_back({log, ReadWholeFile(log)});
        std::vector<std::uint8_t> base = ReadWholeFile(path);
        recovery = RecoverHive(base, logs);
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
        }
    }
    if (!facts.hibernationImage.empty()) {
        if (policy.forWriting && !policy.forceHibernated) {
            *failure = {kExitRefused,
                        HibernationWarning(facts) + "; nothing was changed (--force-hibernated writes all the same)"};
            return false;
        }
        input->warnings.push_back(HibernationWarning(facts));
    }

    std::string source = path;
    if (recovery.recovered) {
        if (!input->recovered.Hold(recovery.hive)) {
            *failure = {kExitRefused, std::string("cannot hold the recovered hive: ") + std::strerror(errno)};
            return false;
        }
        source = input->recovered.path();
        std::vector<std::uint8_t>().swap(recovery.hive);
    }
    errno = 0;
    if (input->registry.LoadKey(kCloneMountKey, source.c_str()) != kRegSuccess) {
        *failure = {kExitRefused, path + ": libhivex cannot open it as a hive (" +
                                      std::strerror(errno ? errno : EINVAL) + ")"};
        return false;
    }
    return true;
}
