// Folders of a run's own in the temporary folder, which a run that is
// killed leaves behind: each holds its owner's pid, so that the next run
// removes those whose owner no longer exists.
#pragma once

#include <string>

// A new folder base/PREFIXXXXXXX holding this process's pid in "owner",
// after removing under base the folders of runs that have ended; "" with
// errno when it cannot be made.
std::string MakeRunFolder(const std::string& base, const std::string& prefix);

// Removes the folder a run made, its owner file with it (what else it holds
// the caller has removed); false with errno.
bool RemoveRunFolder(const std::string& folder);

// Removes under base every folder of a run (a name starting with
// "voskarelle-", this user's, holding an owner file) whose owner has ended.
void RemoveLeftRunFolders(const std::string& base);
