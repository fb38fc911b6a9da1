#include "cli/verbs/command.h"

#include "cli/disk/vm_image.h"
#include "cli/verbs/options.h"
#include "cli/report/render.h"
#include "cli/verbs/verbs.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string_view>

namespace {

using Verb = int (*)(const Options&, std::ostream&, std::ostream&, CommitFiles&);

struct VerbEntry {
    std::string_view name;
    Verb run;
};
constexpr VerbEntry kVerbTable[] = {
    {.name = "show", .run = RunShow},
    {.name = "set", .run = RunSet},
    {.name = "disk-id", .run = RunDiskId},
    {.name = "move", .run = RunMove},
    {.name = "fix", .run = RunFix},
};

int RunVerb(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, CommitFiles& files,
            const std::string& machineRoot)
{
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        out << kUsage;
        return kExitOk;
    }
    if (args.size() == 1 && (args[0] == "--version" || args[0] == "-V")) {
        out << "voskarelle " << VOSK_VERSION << "\n";
        return kExitOk;
    }
    Options options;
    std::string usageError;
    if (!ParseOptions(args, &options, &usageError))
        return Refuse(err, {kExitUsage, usageError});
    options.machineRoot = machineRoot;
    for (const VerbEntry& verb : kVerbTable)
        if (verb.name == options.verb)
            return verb.run(options, out, err, files);
    return Refuse(err, {kExitUsage, "unknown command \"" + options.verb + "\""});
}

// Writes text, escaped for a terminal, and flushes; false when the stream
// could not take it, with errno as the write left it.
bool Deliver(std::ostream& stream, const std::string& text)
{
    errno = 0;
    stream << EscapeForTerminal(text);
    stream.flush();
    return !stream.fail();
}

} // namespace

int Refuse(std::ostream& err, const Failure& failure)
{
    err << "voskarelle: " << OneLine(failure.message) << "\n";
    if (failure.status == kExitUsage)
        err << kUsage;
    return failure.status;
}

int RunVoskarelle(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, CommitFiles& files,
                  const std::string& machineRoot)
{
    // Names, labels and paths come from foreign disks and hives: everything
    // printed passes one escape, and output that cannot be written fails the
    // command.
    std::ostringstream verbOut, verbErr;
    int status = RunVerb(args, verbOut, verbErr, files, machineRoot);
    // Each VM image's qemu-nbd closes it before anything is said of it.
    CloseVmImages();
    if (!Deliver(out, verbOut.str())) {
        int error = errno ? errno : EIO;
        // What was done to the files must reach the person all the same.
        std::string done;
        std::istringstream lines(verbOut.str());
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("Backup: ") || line.starts_with("Log moved aside: ") || line.starts_with("Written: "))
                done += line + "\n";
        Deliver(err, verbErr.str() + done + "voskarelle: cannot write the output: " + std::strerror(error) + "\n");
        return kExitRefused;
    }
    if (!Deliver(err, verbErr.str()))
        return kExitRefused;
    return status;
}
