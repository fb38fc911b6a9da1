// Running another program of this machine (mtools, qemu-img) and taking
// what it says.
#pragma once

#include <string>
#include <utility>
#include <vector>

// What a child process left: its exit status (or the signal that ended it,
// as 128 + number), and its standard output and error.
struct ChildResult {
    bool started = false; // false: it could not be run at all (errno tells why)
    int status = -1;
    std::string output, errors;
};

// Runs a program found on PATH with exactly these arguments (never a shell)
// and these variables added to the environment, standard input from
// /dev/null, in a process group of its own, and waits for it.
ChildResult RunChild(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& environment);
