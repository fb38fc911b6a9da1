#include "cli/commit/commit.h"

#include "cli/machine/interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

// A name in folder for a file of ours that no other file has: ".BASE.voskarelle-XXXXXX".
std::string TempName(const std::string& target, std::string_view kind)
{
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::string name = JoinPath(FolderOf(target), "." + BaseName(target) + ".voskarelle" + std::string(kind) + "-");
    for (int i = 0; i < 6; ++i)
        name += digits[random() % (sizeof digits - 1)];
    return name;
}

bool Stopped(std::string* error)
{
    if (!Interrupted())
        return false;
    *error = "interrupted";
    return true;
}

} // namespace


bool PrepareReplacement(std::span<const std::uint8_t> bytes, const FileRef& target, bool withBackup,
                        PreparedFile* prepared, std::string* error)
{
    *prepared = {};
    prepared->target = target;
    FileSystem& fs = *target.fs;
    if (!fs.Keep(target.path, &prepared->keep, error))
        return false;
    auto fail = [&](const std::string& reason) {
        *error = reason;
        AbandonReplacement(*prepared);
        return false;
    };
    if (Stopped(error))
        return false;
    if (withBackup) {
        // A second run within the same second gets a numbered name rather
        // than overwriting the first backup.
        std::string base = BackupName(target.path, std::time(nullptr));
        for (int n = 1;; ++n) {
            std::string name = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".bak";
            std::string why;
            if (fs.Copy(target.path, name, prepared->keep, &why)) {
                prepared->backup = name;
                break;
            }
            if (errno != EEXIST || n == 100)
                return fail("cannot make the backup " + fs.Name(name) + ": " + why);
        }
    }
    for (int attempt = 0;; ++attempt) {
        if (Stopped(error))
            return fail(*error);
        std::string temp = TempName(target.path, "");
        std::string why;
        if (fs.CreateNew(temp, bytes, prepared->keep, &why)) {
            prepared->temp = temp;
            return true;
        }
        if (errno != EEXIST || attempt == 100)
            return fail(why);
    }
}

void AbandonReplacement(PreparedFile& prepared)
{
    std::string ignored;
    if (!prepared.temp.empty())
        prepared.target.fs->Clear(prepared.temp, &ignored);
    if (!prepared.backup.empty())
        prepared.target.fs->Clear(prepared.backup, &ignored);
    prepared.temp.clear();
    prepared.backup.clear();
}

bool PutInPlace(PreparedFile& prepared, std::string* error)
{
    if (Stopped(error))
        return false;
    if (!prepared.target.fs->Replace(prepared.temp, prepared.target.path, error))
        return false;
    prepared.temp.clear();
    return true;
}

bool PutBack(const PreparedFile& prepared, std::string* error)
{
    FileSystem& fs = *prepared.target.fs;
    if (prepared.backup.empty()) {
        *error = "no backup of " + prepared.target.Name() + " to put back";
        return false;
    }
    // A copy of the backup goes in place, so the backup itself stays; it
    // gets the original's mode, owner and attributes as they were before
    // the commit, whatever the backup could be given.
    std::string temp = TempName(prepared.target.path, "-restore");
    std::string why;
    if (!fs.Copy(prepared.backup, temp, prepared.keep, &why)) {
        *error = "cannot copy the backup " + fs.Name(prepared.backup) + ": " + why;
        std::string ignored;
        fs.Remove(temp, &ignored);
        return false;
    }
    if (!fs.Replace(temp, prepared.target.path, &why)) {
        *error = why;
        std::string ignored;
        fs.Remove(temp, &ignored);
        return false;
    }
    if (!fs.Flush(FolderOf(prepared.target.path), &why))
        *error = "put back, but not yet safely on the disk: " + why;
    return true;
}

CommitResult CommitTogether(std::span<CommitTarget> targets, bool keepBackups, std::string* error)
{
    // A signal meanwhile stops the commit at its next step and undoes what
    // was done, whatever file systems the files are on.
    OpenVolume committing;
    // Every new file is written and flushed before any original is replaced;
    // the backups are what a failed replacement of a later file is undone
    // from, so with several files they are made even when none is to be
    // kept. One file needs none: its rename is all or nothing.
    bool withBackups = keepBackups || targets.size() > 1;
    for (CommitTarget& target : targets) {
        if (!PrepareReplacement(target.bytes, target.file, withBackups, &target.prepared, error)) {
            // A step that could not be taken back leaves its file system
            // neither old nor new: nothing more is written to it, and the
            // message says so in place of "nothing was changed".
            std::string damage;
            for (CommitTarget& other : targets) {
                if (other.file.fs->damage.empty())
                    AbandonReplacement(other.prepared);
                else
                    damage = other.file.fs->damage;
            }
            if (damage.empty())
                return CommitResult::Failed;
            *error = damage;
            return CommitResult::PartlyInPlace;
        }
    }
    CommitResult result = CommitResult::Done;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (PutInPlace(targets[i].prepared, error)) {
            // Each rename is made durable before the next file is replaced:
            // the files are often on two file systems.
            std::string why;
            if (!targets[i].file.fs->Flush(FolderOf(targets[i].file.path), &why)) {
                *error = why;
                result = CommitResult::InPlaceNotFlushed;
            }
            continue;
        }
        // A file put back but not flushed may still be the new one after a
        // crash: its backup stays, as for one that could not be put back.
        std::string undo;
        bool undone = true, durable = true;
        for (std::size_t j = 0; j < i; ++j) {
            std::string why;
            std::string backup = targets[j].file.fs->Name(targets[j].prepared.backup);
            if (!PutBack(targets[j].prepared, &why)) {
                undone = false;
                undo += "; " + targets[j].file.Name() + " could NOT be put back (" + why + "): its backup is " + backup;
            } else if (!why.empty()) {
                durable = false;
                undo += "; " + targets[j].file.Name() + " was put back as it was (" + why + "): its backup is " + backup;
            } else {
                undo += "; " + targets[j].file.Name() + " was put back as it was";
            }
        }
        // A file system a failed step left neither old nor new keeps what
        // its files need: their backups, and the message says what is where.
        for (std::size_t j = 0; j < targets.size(); ++j)
            if (!targets[j].file.fs->damage.empty()) {
                undone = false;
                if (undo.find(targets[j].file.fs->damage) == std::string::npos)
                    undo += "; " + targets[j].file.fs->damage;
                if (j >= i && !targets[j].prepared.backup.empty())
                    undo += "; the backup of " + targets[j].file.Name() + " is " +
                            targets[j].file.fs->Name(targets[j].prepared.backup);
            }
        for (std::size_t j = i; j < targets.size(); ++j)
            if (targets[j].file.fs->damage.empty())
                AbandonReplacement(targets[j].prepared);
        if (undone && durable)
            for (std::size_t j = 0; j < i; ++j)
                AbandonReplacement(targets[j].prepared);
        *error += undo;
        return undone && durable ? CommitResult::Failed : CommitResult::PartlyInPlace;
    }
    // Backups nobody asked for go only when every file is safely in place;
    // one that cannot be removed stays named, as a backup.
    if (!keepBackups && result == CommitResult::Done) {
        for (CommitTarget& target : targets) {
            std::string ignored;
            if (!target.prepared.backup.empty() && target.file.fs->Clear(target.prepared.backup, &ignored))
                target.prepared.backup.clear();
        }
    }
    return result;
}

std::string MoveAside(const FileRef& log, std::string* error)
{
    std::string base = BackupName(log.path, std::time(nullptr));
    for (int n = 1; n <= 100; ++n) {
        std::string aside = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".bak";
        if (log.fs->MoveNoReplace(log.path, aside, error))
            return aside;
        if (errno != EEXIST)
            break;
    }
    return {};
}

bool PlaceCopy(FileSystem& fs, const std::string& from, const std::string& to, std::string* error)
{
    std::string folder = FolderOf(to), stored;
    bool missing = false;
    if (!fs.Resolve(folder, &stored, &missing, error)) {
        if (!missing || !fs.MakeFolder(folder, error))
            return false;
        stored = folder;
    }
    std::string target = JoinPath(stored, BaseName(to));
    std::string temp = TempName(target, "");
    std::vector<std::uint8_t> bytes;
    if (Stopped(error) || !fs.Read(from, &bytes, error) || !fs.CreateNew(temp, bytes, FileKeep{}, error))
        return false;
    std::string ignored;
    if (Stopped(error) || !fs.MoveNoReplace(temp, target, error)) {
        fs.Clear(temp, &ignored);
        return false;
    }
    if (!fs.Flush(stored, error)) {
        *error = fs.Name(target) + " is in place, but not yet safely on the disk: " + *error;
        return false;
    }
    return true;
}
