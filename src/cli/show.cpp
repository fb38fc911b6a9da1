#include "cli/boot_check.h"
#include "cli/command.h"
#include "cli/render.h"
#include "cli/report.h"
#include "cli/verbs.h"

int RunShow(const Options& options, std::ostream& out, std::ostream& err, CommitFiles&)
{
    HiveInput input;
    Failure failure;
    if (!OpenHiveInput(options.hive, {}, &input, &failure))
        return Refuse(err, failure);
    Report report;
    if (!MakeReport(input, options.disks, &report, &failure))
        return Refuse(err, failure);
    CheckBootDrivers(input.registry.handle(), options.machineRoot, input.realPath, options.bus, &report);
    if (options.json)
        PrintJson(report, out);
    else
        PrintText(report, out);
    return kExitOk;
}
