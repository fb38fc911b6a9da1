#include "cli/command.h"

#include "cli/options.h"
#include "cli/verbs.h"

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
};

} // namespace

int Refuse(std::ostream& err, const Failure& failure)
{
    err << "voskarelle: " << failure.message << "\n";
    if (failure.status == kExitUsage)
        err << kUsage;
    return failure.status;
}

int RunVoskarelle(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, CommitFiles& files)
{
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        out << kUsage;
        return kExitOk;
    }
    Options options;
    std::string usageError;
    if (!ParseOptions(args, &options, &usageError))
        return Refuse(err, {kExitUsage, usageError});
    for (const VerbEntry& verb : kVerbTable)
        if (verb.name == options.verb)
            return verb.run(options, out, err, files);
    return Refuse(err, {kExitUsage, "unknown command \"" + options.verb + "\""});
}
