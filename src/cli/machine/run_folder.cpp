#include "cli/machine/run_folder.h"

#include "cli/machine/fd.h"
#include "cli/machine/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// Whether the folder's owner file names a process that no longer exists.
// A pid that cannot be read, or that exists again (reused), keeps it.
bool OwnerEnded(const std::string& folder)
{
    struct stat st;
    std::string owner = folder + "/owner";
    if (lstat(owner.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
        return false;
    std::string text = ReadSmallFile(owner);
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    // Linux's pids end at 2^22; anything past that is no pid of a run.
    long pid = std::strtol(text.c_str(), nullptr, 10);
    return pid > 0 && pid <= 4194304 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

void RemoveLeftRunFolders(const std::string& base)
{
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        struct stat st;
        if (!name.starts_with("voskarelle-") || lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != geteuid() || !OwnerEnded(it->path().string()))
            continue;
        std::error_code ignored;
        fs::remove_all(it->path(), ignored); // links inside are removed, never followed
    }
}

std::string MakeRunFolder(const std::string& base, const std::string& prefix)
{
    RemoveLeftRunFolders(base);
    std::string folder = base + "/" + prefix + "XXXXXX";
    if (mkdtemp(folder.data()) == nullptr)
        return "";
    std::string pid = std::to_string(getpid());
    Fd owner(open((folder + "/owner").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (owner.get() < 0 || !WriteAll(owner.get(), pid.data(), pid.size())) {
        int why = errno;
        unlink((folder + "/owner").c_str());
        rmdir(folder.c_str());
        errno = why;
        return "";
    }
    return folder;
}

bool RemoveRunFolder(const std::string& folder)
{
    return (unlink((folder + "/owner").c_str()) == 0 || errno == ENOENT) && rmdir(folder.c_str()) == 0;
}
