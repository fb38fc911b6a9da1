#include "cli/command.h"

#include <iostream>

int main(int argc, char** argv)
{
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
