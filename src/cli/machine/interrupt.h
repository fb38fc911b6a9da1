// SIGINT and SIGTERM while a file system is open in-process (libntfs-3g,
// mtools) are recorded rather than obeyed at once: the commit stops at its
// next step, undoes what it must, and the volume is closed cleanly before
// the command ends as the signal asks. With nothing open they end the
// command at once, as they always did.
#pragma once

void InstallInterruptHandlers();

// The signal received while a volume was open, 0 for none.
int InterruptSignal();
inline bool Interrupted()
{
    return InterruptSignal() != 0;
}

// The signal recorded, forgotten: the caller ends as it asks once nothing
// is open.
int TakeInterrupt();

// Held while a volume is open in-process.
class OpenVolume {
public:
    OpenVolume();
    ~OpenVolume();
    OpenVolume(const OpenVolume&) = delete;
    OpenVolume& operator=(const OpenVolume&) = delete;
};
