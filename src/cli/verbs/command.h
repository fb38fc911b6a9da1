// The voskarelle command: show and set a clone's drive letters straight in
// its SYSTEM hive file.
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/machine/failure.h"

#include <ostream>
#include <string>
#include <vector>

// Runs one command line (without the program name); returns the exit status.
// machineRoot is where this machine's /proc and /sys are found.
int RunVoskarelle(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, CommitFiles& files,
                  const std::string& machineRoot = "/");
