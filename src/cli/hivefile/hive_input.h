// A hive file as the command reads it: checked before libhivex sees it,
// recovered from its transaction logs when dirty, and held by libhivex with
// every change in memory. The rules for dirty and hibernated clones live here
// so that every verb that writes applies them alike.
#pragma once

#include "cli/hivefile/hive_file_registry.h"
#include "cli/machine/failure.h"
#include "cli/fs/volumes.h"
#include "hive/hive_file.h"

#include <ostream>
#include <string>
#include <vector>

// What was found out about the hive file before it was opened.
struct HiveFacts {
    BaseBlock base;
    std::vector<std::string> logs; // transaction logs beside a dirty hive, in the hive's file system
    std::string hibernationImage;  // the hiberfil.sys that begins with "hibr", as named for the person
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
    bool forceBaseImage = false;  // write an image other images stand on all the same
};

struct HiveInput {
    std::string path; // as given, for the report
    // The file itself, on the file system that holds it (a path of this
    // machine with its links resolved, or a path inside a partition): every
    // file operation works beside it.
    FileRef file;
    HiveFacts facts;
    std::vector<std::string> recoveredFrom; // logs applied to the base file, as named for the person
    std::vector<std::string> appliedLogs;   // the same, inside file.fs
    std::string recovery;                   // what the recovery did, in words
    std::vector<std::string> warnings;      // conditions the policy lets pass
    HiveFileRegistry registry;              // the hive, mounted at "Clone"
    MemoryFile recovered;
};

// Finds the file named path (a path of this machine, or DISK#N:PATH), then
// checks, recovers and opens the hive under the policy; false with the
// refusal otherwise.
bool OpenHiveInput(Volumes& volumes, const std::string& path, const HivePolicy& policy, HiveInput* input,
                   Failure* failure);
// OpenHiveInput for a boot store: refused too when the hive is none.
bool OpenStoreInput(Volumes& volumes, const std::string& path, const HivePolicy& policy, HiveInput* input,
                    Failure* failure);

// After the recovered hive was written: moves each log applied aside and
// flushes the folder, saying what it did and what it could not do.
void SetLogsAside(const HiveInput& input, std::ostream& out, std::ostream& err);
