// A hive file as the command reads it: checked before libhivex sees it,
// recovered from its transaction logs when dirty, and held by libhivex with
// every change in memory. The rules for dirty and hibernated clones live here
// so that every verb that writes applies them alike.
#pragma once

#include "cli/machine/commit.h"
#include "cli/hivefile/hive_file_registry.h"
#include "hive/hive_file.h"

#include <ostream>
#include <string>
#include <vector>

struct Failure {
    int status;
    std::string message;
};

// What was found out about the hive file before it was opened.
struct HiveFacts {
    BaseBlock base;
    std::vector<std::string> logs; // transaction logs beside a dirty hive
    std::string hibernationImage;  // the hiberfil.sys that begins with "hibr"
};

// The recovered hive as a file for libhivex, which opens hives by path,
// kept in memory only and gone with the process.
class MemoryFile {
public:
    MemoryFile() = default;
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile();
    bool Hold(const std::vector<std::uint8_t>& bytes);
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_ = -1;
};

struct HivePolicy {
    bool forWriting = false;      // the verb will replace the file
    bool forceHibernated = false; // write a hibernated clone all the same
};

struct HiveInput {
    std::string path;     // as given, for the report
    std::string realPath; // the file itself, links resolved: every file operation works beside it
    HiveFacts facts;
    std::vector<std::string> recoveredFrom; // logs applied to the base file
    std::string recovery;                   // what the recovery did, in words
    std::vector<std::string> warnings;      // conditions the policy lets pass
    HiveFileRegistry registry;              // the hive, mounted at "Clone"
    MemoryFile recovered;
};

// Resolves path to the real file, then checks, recovers and opens the hive
// under the policy; false with the refusal otherwise.
bool OpenHiveInput(const std::string& path, const HivePolicy& policy, HiveInput* input, Failure* failure);

// After the recovered hive was written: moves each log applied aside and
// flushes the folder, saying what it did and what it could not do.
void SetLogsAside(const HiveInput& input, CommitFiles& files, std::ostream& out, std::ostream& err);

// "SYSTEM" of "a/b/SYSTEM".
std::string BaseName(const std::string& path);
