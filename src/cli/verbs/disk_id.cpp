#include "cli/verbs/command.h"
#include "cli/disk/image_users.h"
#include "cli/disk/disk_label.h"
#include "cli/disk/disks.h"
#include "cli/report/render.h"
#include "cli/verbs/verbs.h"
#include "mounttable/identity.h"

#include <climits>
#include <cstdlib>

namespace {

DiskLabelId IdOf(const DiskInfo& disk)
{
    DiskLabelId id{.table = disk.table};
    if (disk.table == "dos")
        id.signature = disk.signature;
    else
        id.guid = disk.guid;
    return id;
}

std::string DiskIdText(const DiskLabelId& id)
{
    return (id.table == "dos" ? "MBR disk signature " : "GPT disk ") + DiskLabelIdText(id);
}

// The identities the clone's MountedDevices holds for the partitions, as
// read, or as they become under the disk identity planned: an MBR
// partition's includes the signature, a GPT partition's is its own GUID
// whatever the disk's.
void PrintPartitions(const std::vector<Partition>& partitions, const DiskLabelId* planned, std::ostream& out)
{
    for (const Partition& part : partitions) {
        Identity identity = part.identity;
        if (planned != nullptr && planned->table == "dos" && !identity.empty())
            identity = MbrIdentity(planned->signature, part.offset);
        out << "  " << OneLine(part.path) << "  ";
        if (identity.empty())
            out << "no identity\n";
        else
            out << IdentityText(identity) << "  identity " << HexText(identity) << "\n";
    }
}

// The examined disk, other than this one, that already carries id; "" for
// none. Disks that cannot be read are named in warnings.
std::string CarrierOf(const DiskLabelId& id, const std::string& self, const std::vector<std::string>& disks,
                      unsigned sectorSize, std::vector<std::string>* unread)
{
    for (const DiskInfo& other : ScanDisks(disks, sectorSize).disks) {
        if (SameFile(other.path, self))
            continue;
        if (!other.error.empty())
            unread->push_back(OneLine(other.path) + " (" + OneLine(other.error) + ")");
        else if (other.hasId && IdOf(other) == id)
            return other.path;
    }
    return "";
}

} // namespace

int RunDiskId(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files)
{
    const std::string& path = options.hive;
    DiskScan own = ScanDisks({path}, options.sectorSize);
    const DiskInfo& disk = own.disks.front();
    if (!disk.error.empty())
        return Refuse(err, {kExitRefused, "cannot read " + path + ": " + disk.error});
    if (disk.table != "dos" && disk.table != "gpt")
        return Refuse(err, {kExitRefused, path + (disk.table.empty() ? " has no partition table"
                                                                    : " holds a " + disk.table + " partition table") +
                                              ", so no disk identity Windows uses"});
    if (!disk.hasId)
        return Refuse(err, {kExitRefused, "libblkid reads no disk identity on " + path});
    DiskLabelId current = IdOf(disk);
    auto printDisk = [&] {
        out << "Disk " << OneLine(path) << ": " << DiskIdText(current) << "\n";
        PrintPartitions(own.partitions, nullptr, out);
        if (!disk.sectorSizeKnown)
            out << "Its sector size is not known (an MBR image records none, and no file system on it tells): "
                << disk.sectorSize << " bytes were assumed for the offsets above; --sector-size sets it.\n";
    };
    if (options.newId.empty()) {
        printDisk();
        return kExitOk;
    }

    DiskLabelId wanted;
    std::string why;
    if (!ParseDiskLabelId(disk.table, options.newId, &wanted, &why))
        return Refuse(err, {kExitRefused, why + "; " + path + " is unchanged"});
    if (wanted == current) {
        printDisk();
        out << OneLine(path) << " already carries " << DiskLabelIdText(wanted) << "; nothing was written.\n";
        return kExitOk;
    }
    // Two disks with one identity is the collision that sent the clone's
    // volumes astray: the disk that carries it must be detached first.
    std::vector<std::string> unread;
    std::string carrier = CarrierOf(wanted, path, options.disks, options.sectorSize, &unread);
    if (!carrier.empty())
        return Refuse(err, {kExitRefused, carrier + " already carries " + DiskLabelIdText(wanted) +
                                              "; detach it first. " + path + " is unchanged"});
    // A disk that could not be read may carry the identity all the same.
    if (!unread.empty() && !options.dryRun)
        return Refuse(err, {kExitRefused, unread.front() + " cannot be read, so it cannot be told whether it already "
                                                          "carries " + DiskLabelIdText(wanted) +
                                              "; name the disks to compare with --disk. " + path + " is unchanged"});
    printDisk();
    for (const std::string& other : unread)
        out << "Warning: " << other << " could not be read; its identity was not compared.\n";
    std::string change = OneLine(path) + ": " + DiskLabelIdText(current) + " -> " + DiskLabelIdText(wanted);
    if (std::string users = WhyImageNotWritable(options.machineRoot, path,
                                                options.force);
        !users.empty())
        return Refuse(err, {kExitRefused, users + "; " + path + " is unchanged"});
    if (options.dryRun) {
        out << "Would write: " << change << "\n";
        PrintPartitions(own.partitions, &wanted, out);
        out << "Dry run: the disk was not changed.\n";
        return kExitOk;
    }
    LabelWrite done;
    bool written = WriteDiskLabelId(path, disk.sectorSize, current, wanted, files, &done, &why);
    if (!done.backup.empty()) {
        out << "Backup: " << OneLine(done.backup) << "\n";
        for (const std::string& command : RestoreCommands(done.backup, done.disk, done.areas, done.format))
            out << "  to restore: " << OneLine(command) << "\n";
    }
    if (!written)
        return Refuse(err, {kExitRefused, why + (done.state == DiskState::Untouched ? "; nothing was written"
                                                 : done.state == DiskState::PutBack
                                                     ? "; the label was put back as it was (its backup stays)"
                                                     : "; the label may be partly written: restore the backup")});
    out << "Written: " << change << "\n";
    PrintPartitions(ScanDisks({path}, options.sectorSize).partitions, nullptr, out);
    if (done.blockDevice && done.reread)
        out << "The kernel has re-read the partition table.\n";
    else if (done.blockDevice)
        out << "The kernel keeps its old view of the table until it is re-read (" << OneLine(done.rereadError)
            << "): run partprobe " << OneLine(done.disk) << " once its partitions are no longer in use.\n";
    return kExitOk;
}
