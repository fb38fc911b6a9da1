// The verbs of the voskarelle command, one file each, over the shared pieces:
// options, hive input, report, rendering and commit.
#pragma once

#include "cli/commit/commit.h"
#include "cli/hivefile/hive_input.h"
#include "cli/verbs/options.h"

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

// Prints a refusal (and the usage after a usage error); returns its status.
int Refuse(std::ostream& err, const Failure& failure);

// Commits the files of inputs as one change (backups kept when asked),
// sets their logs aside and says what was written to out; returns the
// command's status.
int CommitInputs(const std::vector<HiveInput*>& inputs, bool keepBackups, std::ostream& out, std::ostream& err);

// One value a verb changes in the clone's hive or in its boot store.
struct ValueChange {
    bool store = false;
    std::string key; // below the mount point: "MountedDevices", "Objects\\{..}\\Elements\\21000001"
    std::string name;
    std::uint32_t type = kRegBinary;
    std::vector<std::uint8_t> before, after;
    bool remove = false; // the value goes
    bool add = false;    // a new value, so there is no before to find
    std::string text;    // for the person
};

// Makes the changes in the files held in memory (either may be null when no
// change is to it), each only where the value still holds what was read
// (before); false with *failed at the first that cannot be made.
bool ApplyValueChanges(std::span<const ValueChange> changes, HiveInput* hive, HiveInput* store,
                       const ValueChange** failed);

int RunShow(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunSet(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunDiskId(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunMove(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunFix(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
