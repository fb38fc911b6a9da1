#include "cli/machine/files.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>

std::string ReadSmallFile(const std::string& path)
{
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

bool IsBlockDevice(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat x, y;
    if (stat(a.c_str(), &x) != 0 || stat(b.c_str(), &y) != 0)
        return false;
    if (S_ISBLK(x.st_mode) || S_ISBLK(y.st_mode))
        return S_ISBLK(x.st_mode) && S_ISBLK(y.st_mode) && x.st_rdev == y.st_rdev;
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}
