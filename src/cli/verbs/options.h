// The command line of the voskarelle command: the verb, the hive, the disks
// to examine and each verb's own arguments and flags.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern const char kUsage[];

struct Options {
    std::string verb;
    std::string hive; // the FILE (a hive or a boot store), or disk-id's DISK
    std::vector<std::string> disks;
    std::vector<std::pair<std::string, std::string>> assignments; // VOLUME, LETTER ("" for none)
    std::vector<std::pair<std::string, std::string>> moves;       // OLD, NEW
    std::string bcd;                                              // --bcd: the boot store
    std::string newId;                                            // disk-id's NEW-ID
    std::string bus;                      // --bus: the bus the clone will start from
    std::string windows;                  // fix's --windows: the Windows partition to repair
    std::string backupDir;                // fix's --backup-dir: where the old sectors are saved
    std::vector<std::string> bootDrivers; // --boot-driver BUS, each once
    unsigned sectorSize = 0;       // --sector-size: an image's logical sector size; 0 when not given
    std::string machineRoot = "/"; // where /proc and /sys are found; not from the command line
    bool json = false;
    bool dryRun = false;
    bool noBackup = false;
    bool forceHibernated = false;
    bool forceBitlocker = false;
    bool force = false; // write an image other images stand on
};


// False with a message for the usage error.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);
