#include "cli/verbs/command.h"
#include "cli/report/render.h"

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
        // The hive is replaced only when every step before it succeeded; an
        // exception after that comes from printing, which says nothing of it.
        std::cerr << "voskarelle: " << EscapeForTerminal(OneLine(e.what())) << "\n";
        return kExitRefused;
    }
}
