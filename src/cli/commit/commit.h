// Replacing the files of a clone by their changed versions so that a crash,
// a full disk or any failed call leaves each file old or new, never torn:
// the backup first, the new version written and flushed under a temporary
// name beside the original, then put in place. The steps go through the
// file system the file is on (a folder of this machine, libntfs-3g, mtools),
// so a change of two files on two file systems lands as one.
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/fs/file_system.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A new version of a file, written and flushed beside it, not yet in place.
struct PreparedFile {
    FileRef target;     // the file it replaces
    std::string temp;   // the new version
    std::string backup; // the copy of the original, "" for none
    // The original's mode, owner and attributes, taken before anything
    // changed: what the new version and a copy put back get.
    FileKeep keep;
};

// Copies the target to a fresh backup name (never overwriting a file) when
// withBackup, writes bytes to a new file in the target's folder with what
// the target keeps, and flushes both. False with a reason when any step
// fails; then nothing of it is left behind.
bool PrepareReplacement(std::span<const std::uint8_t> bytes, const FileRef& target, bool withBackup,
                        PreparedFile* prepared, std::string* error);

// Removes the new version and the backup of a replacement not carried out.
void AbandonReplacement(PreparedFile& prepared);

// Puts the new version in place of the target; false with a reason (the
// target then is as it was).
bool PutInPlace(PreparedFile& prepared, std::string* error);

enum class CommitResult {
    Failed,            // the original is as it was, and nothing new is beside it
    InPlaceNotFlushed, // the new files are in place, but not yet safely on the disk
    PartlyInPlace,     // a file, or the file system holding it, is neither as it was nor as intended
    Done,
};

// Puts the original back from the backup of a replacement carried out.
bool PutBack(const PreparedFile& prepared, std::string* error);

// One file of a change that spans several, and its new contents.
struct CommitTarget {
    std::vector<std::uint8_t> bytes;
    FileRef file;
    PreparedFile prepared;
};

// Replaces several files as one change: all new files are written and flushed
// before the first original is replaced, and when a later replacement fails
// the earlier ones are put back from their backups, so each file ends as it
// was or as intended. With several files, backups are made in any case and
// removed at the end unless keepBackups (each target's prepared.backup then
// names its own); one file alone gets a backup only when it is kept.
CommitResult CommitTogether(std::span<CommitTarget> targets, bool keepBackups, std::string* error);

// Renames a log to LOG.voskarelle-YYYYMMDDTHHMMSSZ.bak beside it, never over
// an existing file; the new path, or empty with the reason.
std::string MoveAside(const FileRef& log, std::string* error);

// Copies from to a new file to on the same file system, never over a file:
// written and flushed under a name of ours beside it, then moved to its name,
// so that a failure or a crash leaves no torn file under it. Its folder is
// made when missing. False with the reason; then no file of it is left
// (a folder it made stays, empty).
bool PlaceCopy(FileSystem& fs, const std::string& from, const std::string& to, std::string* error);
