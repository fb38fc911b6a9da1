// Replacing a hive file by its changed version so that a crash, a full disk
// or any failed call leaves either the old or the new hive, never a torn one.
#pragma once

#include "cli/hivefile/hive_file_registry.h"

#include <sys/types.h>

#include <ctime>
#include <span>
#include <string>

// The file calls of a commit, one place where they can fail.
class CommitFiles {
public:
    virtual ~CommitFiles() = default;
    virtual int Fsync(int fd);
    virtual int Rename(const char* from, const char* to);
    // Moves from to to only when to does not exist; -1 with errno otherwise
    // (EEXIST, or EINVAL where the file system cannot promise it).
    virtual int RenameNoReplace(const char* from, const char* to);
    virtual int Link(const char* from, const char* to);
    // Copies up to max bytes from in to out at their file offsets: the count
    // copied, 0 at the end of in, -1 with errno set.
    virtual ssize_t CopyChunk(int in, int out, std::size_t max);
};

// The folder of a path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);

// The path with every link resolved; empty when it cannot be.
std::string RealPath(const std::string& path);

// "SYSTEM.voskarelle-20261207T124752Z" beside the hive, for the time given.
std::string BackupName(const std::string& hive, std::time_t when);

// A new version of a file, written and flushed beside it, not yet in place.
struct PreparedFile {
    std::string target; // the file it replaces (its real path)
    std::string temp;   // the new version
    std::string backup; // the copy of the original, "" for none
    // The original's mode and owner, taken before anything changed: what the
    // new version and a copy put back get.
    mode_t mode = 0600;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Copies the target to a fresh backup name (never overwriting a file) when
// withBackup, writes the registry's hive with its changes to a new file in
// the target's folder with the target's mode, and flushes both. False with a
// reason when any step fails; then nothing of it is left behind.
bool PrepareReplacement(HiveFileRegistry& registry, const std::string& target, bool withBackup, CommitFiles& files,
                        PreparedFile* prepared, std::string* error);

// Removes the new version and the backup of a replacement not carried out.
void AbandonReplacement(PreparedFile& prepared);

// Renames the new version over the target; false with a reason (the target
// then is as it was).
bool PutInPlace(PreparedFile& prepared, CommitFiles& files, std::string* error);

// Flushes a folder, so that renames in it survive a crash.
bool FlushFolder(const std::string& folder, CommitFiles& files, std::string* error);

enum class CommitResult {
    Failed,            // the original is as it was, and nothing new is beside it
    InPlaceNotFlushed, // the new hive is in place, but its folder was not flushed
    PartlyInPlace,     // of several files, one is new and could not be put back
    Done,
};

// Prepares, puts in place and flushes the folder: the whole replacement of
// one hive file.
CommitResult CommitHive(HiveFileRegistry& registry, const std::string& hive, std::string* backup, CommitFiles& files,
                        std::string* error);

// Puts the original back from the backup of a replacement carried out.
bool PutBack(const PreparedFile& prepared, CommitFiles& files, std::string* error);

// One file of a change that spans several.
struct CommitTarget {
    HiveFileRegistry* registry;
    std::string path; // the real path
    PreparedFile prepared;
};

// Replaces several files as one change: all new files are written and flushed
// before the first original is replaced, and when a later replacement fails
// the earlier ones are put back from their backups, so each file ends as it
// was or as intended. With several files, backups are made in any case and
// removed at the end unless keepBackups (each target's prepared.backup then
// names its own); one file alone gets a backup only when it is kept.
CommitResult CommitTogether(std::span<CommitTarget> targets, bool keepBackups, CommitFiles& files,
                            std::string* error);

// Renames a log to LOG.voskarelle-YYYYMMDDTHHMMSSZ.bak beside it, never over
// an existing file, on file systems with and without RENAME_NOREPLACE; the
// new name, or empty with errno set.
std::string MoveAside(const std::string& log, CommitFiles& files);
