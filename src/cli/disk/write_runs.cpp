#include "cli/disk/write_runs.h"

#include <cerrno>

bool WriteRuns(std::span<WriteRun> runs, const RunTarget &target, bool *torn)
{
    *torn = false;
    // started counts the runs whose old bytes are known and whose writing
    // began: only those are given their old bytes back. The run that failed
    // may be partly written: it goes back too.
    std::size_t started = 0;
    bool ok = true;
    for (WriteRun &run : runs) {
        if (target.readBefore && !target.readBefore(run)) {
            ok = false;
            break;
        }
        ++started;
        if (!target.write(run, run.after)) {
            ok = false;
            break;
        }
    }
    ok = ok && target.flush();
    if (ok)
        return true;
    int why = errno;
    bool restored = true;
    for (std::size_t i = started; i-- > 0;)
        restored = target.write(runs[i], runs[i].before) && restored;
    restored = target.flush() && restored;
    *torn = !restored;
    errno = why;
    return false;
}
