// Files and devices of this machine as the kernel names them.
#pragma once

#include <string>

// The first line of a small file (of sysfs, say); "" when it cannot be read.
std::string ReadSmallFile(const std::string& path);

bool IsBlockDevice(const std::string& path);

// Whether two paths name one file or device, however each is spelled
// ("clone.img", "./clone.img", a link to it); false when either is missing.
bool SameFile(const std::string& a, const std::string& b);

// path with every link resolved; "" when it does not exist.
std::string RealPath(const std::string& path);
