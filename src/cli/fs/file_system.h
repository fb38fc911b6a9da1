// The file systems a clone's files live on: a folder of this machine (a
// plain path, or the mount point of a partition), an NTFS volume through
// libntfs-3g, a FAT volume through mtools. Paths inside are absolute, with
// "/" between names. Every step of a commit is one call here, so the
// commit's rules (backup first, new file flushed under a temporary name,
// then put in place) hold on each of them alike.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct FileFacts {
    enum class Type { Missing, Regular, Folder, Other };
    Type type = Type::Missing;
    std::uint64_t size = 0;
    std::string what; // for Other: "a FIFO", "a reparse point"
};

// What a new version takes from the file it replaces.
struct FileKeep {
    mode_t mode = 0600;   // a folder of this machine: mode and owner
    uid_t uid = 0;
    gid_t gid = 0;
    std::uint32_t securityId = 0; // NTFS: its security descriptor's id
    std::uint32_t attributes = 0; // NTFS and FAT: read-only, hidden, system, archive
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // How the person names path: the path itself, or "clone.img#3:/Windows/...".
    virtual std::string Name(const std::string& path) const = 0;
    // The partition this is, as the examined disks name it ("clone.img#3",
    // "/dev/sdb3"); "" for a plain folder of this machine.
    virtual std::string Partition() const { return ""; }
    // The disk or image file its bytes are read from; "" for a folder of
    // this machine.
    virtual std::string Source() const { return ""; }

    // path with each name as stored, found as Windows finds it where the
    // file system is a partition's (any case); false with the reason, and
    // *missing when a name does not exist.
    virtual bool Resolve(const std::string& path, std::string* stored, bool* missing, std::string* error) = 0;
    virtual bool Facts(const std::string& path, FileFacts* facts, std::string* error) = 0;
    virtual bool List(const std::string& folder, std::vector<std::string>* names, std::string* error) = 0;
    // All of a regular file, or an error: a read that ends early is one.
    virtual bool Read(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) = 0;
    // Up to size bytes from the start; fewer only when the file is shorter.
    virtual bool ReadStart(const std::string& path, std::size_t size, std::vector<std::uint8_t>* bytes,
                           std::string* error) = 0;

    // Why a file at path cannot be replaced here ("" when it can): a
    // read-only file, folder or mount, a hibernated NTFS.
    virtual std::string WhyNotWritable(const std::string& path) = 0;
    virtual bool Keep(const std::string& path, FileKeep* keep, std::string* error) = 0;
    // Makes a file that must not exist yet, with all of bytes and what keep
    // says, flushed; on failure none is left. errno is EEXIST when the name
    // was taken.
    virtual bool CreateNew(const std::string& path, std::span<const std::uint8_t> bytes, const FileKeep& keep,
                           std::string* error) = 0;
    // A copy of from under a name that must not exist yet (a backup),
    // flushed; errno EEXIST when the name was taken.
    virtual bool Copy(const std::string& from, const std::string& to, const FileKeep& keep, std::string* error);
    // Puts from in place of to, in one folder: afterwards to is from's file,
    // or, on failure, to is as it was (the error says which holds).
    virtual bool Replace(const std::string& from, const std::string& to, std::string* error) = 0;
    // Renames from to to only where to does not exist; errno EEXIST when it does.
    virtual bool MoveNoReplace(const std::string& from, const std::string& to, std::string* error) = 0;
    virtual bool Remove(const std::string& path, std::string* error) = 0;
    // Makes a folder whose parent exists, flushed; false with the reason
    // where the file system cannot.
    virtual bool MakeFolder(const std::string& path, std::string* error);
    // Removes a file of ours that is no longer needed (a temporary name, a
    // backup nobody asked for), trying once more when the first attempt
    // fails: what is left of a change should not outlive one failed write.
    bool Clear(const std::string& path, std::string* error)
    {
        return Remove(path, error) || Remove(path, error);
    }
    // Makes what was done in folder survive a crash.
    virtual bool Flush(const std::string& folder, std::string* error) = 0;
    // Writes out whatever of the volume is still held in this process and
    // lets it go; false with the reason when that failed.
    virtual bool Close(std::string*) { return true; }

    // What a failed step left that is neither as it was nor as intended (an
    // original kept only under a name of ours, writes that could not all be
    // taken back); "" when nothing. A commit that finds it says so rather
    // than that nothing changed.
    std::string damage;
};

// A file on one of the file systems.
struct FileRef {
    FileSystem* fs = nullptr;
    std::string path; // inside fs, each name as stored
    std::string Name() const { return fs->Name(path); }
};

// "/a/b" of "/a/b/c"; "/" for "/c"; "." for a bare name.
std::string FolderOf(const std::string& path);
// "c" of "/a/b/c".
std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& folder, const std::string& name);
