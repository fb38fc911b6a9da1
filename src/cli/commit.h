// Replacing a hive file by its changed version so that a crash, a full disk
// or any failed call leaves either the old or the new hive, never a torn one.
#pragma once

#include "cli/hive_file_registry.h"

#include <ctime>
#include <string>

// The file calls of a commit, one place where they can fail.
class CommitFiles {
public:
    virtual ~CommitFiles() = default;
    virtual int Fsync(int fd);
    virtual int Rename(const char* from, const char* to);
    // Copies from into to, which must not exist yet, and starts writing it
    // back (the commit flushes it before the rename); false with errno set
    // when it fails, leaving no partial copy behind.
    virtual bool CopyToNewFile(const char* from, const char* to);
};

// The folder of a path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// "SYSTEM.voskarelle-20261207T124752Z.bak" beside the hive, for the time given.
std::string BackupName(const std::string& hive, std::time_t when);

// Copies the hive to a fresh backup name (never overwriting a file), writes
// the registry's hive with its changes to a new file in the hive's folder,
// flushes it, renames it over the hive and flushes the folder. backup may be
// null for no backup. False with a reason on any failure; the original is
// then unchanged and the backup of it removed again, except when only the
// final folder flush failed, which the reason says.
bool CommitHive(HiveFileRegistry& registry, const std::string& hive, std::string* backup, CommitFiles& files,
                std::string* error);

// Renames a log to LOG.voskarelle-YYYYMMDDTHHMMSSZ.bak beside it, never over
// an existing file; the new name, or empty with errno set.
std::string MoveAside(const std::string& log);
