#include "cli/command.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv)
{
    // A closed pipe is an output error to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    CommitFiles files;
    try {
        return RunVoskarelle(args, std::cout, std::cerr, files);
    } catch (const std::exception& e) {
        // Nothing has been renamed over the hive before every step succeeded.
        std::cerr << "voskarelle: " << e.what() << "\n";
        return kExitRefused;
    }
}
