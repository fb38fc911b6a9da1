#include "cli/machine/interrupt.h"
#include "cli/verbs/command.h"
#include "cli/report/render.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv)
{
    // A closed pipe is an output error to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    // Ctrl+C or a kill while a partition is open in-process ends the step in
    // progress and closes the volume cleanly first.
    InstallInterruptHandlers();
    std::vector<std::string> args(argv + 1, argv + argc);
    CommitFiles files;
    int status = kExitRefused;
    try {
        status = RunVoskarelle(args, std::cout, std::cerr, files);
    } catch (const std::exception& e) {
        // The hive is replaced only when every step before it succeeded; an
        // exception after that comes from printing, which says nothing of it.
        std::cerr << "voskarelle: " << EscapeForTerminal(OneLine(e.what())) << "\n";
    }
    if (int signal = TakeInterrupt()) {
        std::cout.flush();
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return status;
}
