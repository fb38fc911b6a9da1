// The verbs of the voskarelle command, one file each, over the shared pieces:
// options, hive input, report, rendering and commit.
#pragma once

#include "cli/machine/commit.h"
#include "cli/hivefile/hive_input.h"
#include "cli/verbs/options.h"

#include <ostream>

// Prints a refusal (and the usage after a usage error); returns its status.
int Refuse(std::ostream& err, const Failure& failure);

// Commits the files of inputs as one change (backups kept when asked),
// sets their logs aside and says what was written to out; returns the
// command's status.
int CommitInputs(const std::vector<HiveInput*>& inputs, bool keepBackups, std::ostream& out, std::ostream& err);

int RunShow(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunSet(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunDiskId(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunMove(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
int RunFix(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files);
