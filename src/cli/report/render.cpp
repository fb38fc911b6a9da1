#include "cli/report/render.h"
#include "cli/machine/printable.h"
#include "cli/machine/shell_quote.h"

#include "mounttable/identity.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

using Json = nlohmann::ordered_json;

Json PartitionJson(const Partition& part)
{
    return Json{{"path", part.path}, {"fs", part.fs}, {"label", part.label}, {"size", part.size}};
}

const char* VerdictName(BootDriverVerdict::Outcome outcome)
{
    switch (outcome) {
    case BootDriverVerdict::Ready:
        return "ready";
    case BootDriverVerdict::Fixable:
        return "fixable";
    case BootDriverVerdict::Unfixable:
        break;
    }
    return "unfixable";
}

std::string ServiceText(const ServiceFacts& service)
{
    if (!service.present)
        return service.name + "  not in this Windows";
    std::string text = service.name + "  Start " + (service.start ? std::to_string(*service.start) : "none");
    for (const auto& [name, value] : service.startOverride)
        text += ", StartOverride " + name + "=" + std::to_string(value);
    return text + (LoadsAtBoot(service) ? ": loads at boot" : ": does not load at boot");
}

void PrintBootText(const Report& report, std::ostream& out)
{
    const BootReport& boot = report.boot;
    out << "Own volume: ";
    if (boot.device.empty())
        out << "the hive is on no block device of this machine (an image, or a copy)\n";
    else if (boot.partition.empty())
        out << OneLine(boot.device) << ", not among the examined disks\n";
    else
        out << OneLine(boot.partition) << ", " << (boot.letter.empty() ? "no letter in the clone" : "the clone's " + boot.letter)
            << "\n";
    if (boot.bus.empty()) {
        out << "Boot drivers: the bus of the disk the clone will start from is not known"
            << (boot.detail.empty() ? "" : " (" + boot.detail + ")")
            << "; give --bus for the machine it will start in\n";
        return;
    }
    out << "Boot drivers for " << boot.bus << " (from " << boot.from
        << (boot.detail.empty() ? "" : ": " + boot.detail) << ")";
    if (!boot.error.empty()) {
        out << ": cannot be read: " << boot.error << "\n";
        return;
    }
    out << ", control set " << boot.controlSet << ":\n";
    for (const ServiceFacts& service : boot.services)
        out << "  " << ServiceText(service) << "\n";
    switch (boot.verdict.outcome) {
    case BootDriverVerdict::Ready:
        out << "  ready: " << boot.verdict.reason << "\n";
        break;
    case BootDriverVerdict::Fixable:
        out << "  will stop with INACCESSIBLE_BOOT_DEVICE (0x7B): " << boot.verdict.reason
            << "\n  fix: voskarelle set " << ShellQuoted(report.hive) << " --boot-driver " << boot.bus << "\n";
        break;
    case BootDriverVerdict::Unfixable:
        out << "  cannot be fixed here: " << boot.verdict.reason << "\n";
        break;
    }
}

Json BootJson(const BootReport& boot)
{
    Json services = Json::array();
    for (const ServiceFacts& service : boot.services) {
        Json overrides = Json::object();
        for (const auto& [name, value] : service.startOverride)
            overrides[name] = value;
        services.push_back(Json{{"name", service.name},
                                {"present", service.present},
                                {"start", service.start ? Json(*service.start) : Json(nullptr)},
                                {"start_override", overrides},
                                {"loads_at_boot", LoadsAtBoot(service)}});
    }
    bool judged = !boot.bus.empty() && boot.error.empty();
    std::string reason = judged ? boot.verdict.reason
                         : boot.bus.empty() ? "the bus of the disk the clone will start from is not known; give --bus"
                                            : boot.error;
    return Json{{"bus", boot.bus.empty() ? Json(nullptr) : Json(boot.bus)},
                {"from", boot.from.empty() ? Json(nullptr) : Json(boot.from)},
                {"control_set", boot.controlSet.empty() ? Json(nullptr) : Json(boot.controlSet)},
                {"services", services},
                {"verdict", judged ? Json(VerdictName(boot.verdict.outcome)) : Json(nullptr)},
                {"reason", reason.empty() ? Json(nullptr) : Json(reason)}};
}

std::string RecordText(const BootDevice& device)
{
    if (device.style == PartitionStyle::Mbr)
        return IdentityText(BootDeviceIdentity(device)); // as the clone's table names it
    if (device.style == PartitionStyle::Gpt)
        return "GPT disk " + GuidText(device.disk) + ", partition " + GuidText(device.partition);
    return "";
}

std::string BootDeviceText(const BootDevice& device)
{
    std::string record = RecordText(device);
    switch (device.kind) {
    case BootDeviceKind::Partition:
        return "partition, " + (record.empty() ? std::string("of no known style") : record);
    case BootDeviceKind::Ramdisk:
        return "ramdisk " + OneLine(device.path) + (record.empty() ? "" : " on " + record);
    case BootDeviceKind::Boot:
        return "the boot device (the partition the machine starts from)";
    case BootDeviceKind::Locate:
        return "located by path at boot" + (record.empty() ? "" : " on " + record);
    case BootDeviceKind::Other:
        break;
    }
    return "other";
}

Json NullOr(const std::string& text)
{
    return text.empty() ? Json(nullptr) : Json(text);
}

Json StoreJson(const StoreReport& store)
{
    Json objects = Json::array();
    for (const StoreObject& shown : store.shown) {
        Json devices = Json::array();
        for (const StoreDevice& device : shown.devices) {
            const BootDevice& d = device.element->device;
            bool mbr = d.style == PartitionStyle::Mbr, gpt = d.style == PartitionStyle::Gpt;
            devices.push_back(Json{
                {"element", BootTypeHex(device.element->type)},
                {"kind", BootDeviceKindName(d.kind)},
                {"style", mbr ? Json("mbr") : gpt ? Json("gpt") : Json(nullptr)},
                {"disk", mbr ? Json(SignatureText(d.signature)) : gpt ? Json(GuidText(d.disk)) : Json(nullptr)},
                {"partition", gpt ? Json(GuidText(d.partition)) : Json(nullptr)},
                {"offset", mbr ? Json(d.offset) : Json(nullptr)},
                {"path", NullOr(d.path)},
                {"found", device.found ? PartitionJson(*device.found) : Json(nullptr)},
            });
        }
        objects.push_back(Json{{"id", shown.object->id},
                               {"type", BootTypeHex(shown.object->type)},
                               {"description", shown.object->description},
                               {"devices", devices}});
    }
    return Json{{"store", store.store},
                {"recovered_from", store.recoveredFrom},
                {"objects", objects},
                {"firmware_entries", store.firmwareEntries},
                {"default_loader", NullOr(store.defaultLoader)},
                {"default_os_letter", NullOr(store.defaultOsLetter)},
                {"suggested_moves", store.suggestedMoves},
                {"warnings", store.warnings}};
}

} // namespace



std::string SizeText(std::uint64_t bytes)
{
    std::string whole = WholeBinaryUnit(bytes);
    if (!whole.empty())
        return whole;
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 6) {
        value /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}


std::string IdentityText(const Identity& data)
{
    DecodedIdentity id = DecodeIdentity(data);
    switch (id.kind) {
    case IdentityKind::Mbr: {
        std::string unit = WholeBinaryUnit(id.offset);
        return "MBR disk " + SignatureText(id.diskSignature) + ", partition at " + std::to_string(id.offset) + " bytes" +
               (unit.empty() ? "" : " (" + unit + ")");
    }
    case IdentityKind::Gpt:
        return "GPT partition " + GuidText(id.guid);
    case IdentityKind::Device:
        return OneLine("device " + Utf16ToUtf8(id.devicePath));
    case IdentityKind::Other:
        break;
    }
    return "other, " + std::to_string(data.size()) + " bytes";
}

namespace {

// A VM image's format as its makers name it (qemu calls a VHD "vpc").
std::string FormatName(const std::string& format)
{
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        {"vmdk", "VMDK"}, {"vhdx", "VHDX"}, {"vpc", "VHD"}, {"vdi", "VDI"}};
    for (const auto& [qemu, name] : kNames)
        if (format == qemu)
            return std::string(name);
    return format;
}

} // namespace

void PrintDisksText(const DiskScan& scan, std::ostream& out)
{
    out << "Disks examined:";
    if (scan.disks.empty())
        out << " none";
    for (const DiskInfo& disk : scan.disks) {
        out << "\n  " << OneLine(disk.path);
        if (!disk.format.empty())
            out << " (" << FormatName(disk.format) << " image)";
        if (!disk.error.empty())
            out << " (not readable: " << OneLine(disk.error) << ")";
        else if (!disk.sectorSizeKnown)
            out << " (" << disk.table << " partition table, " << disk.sectorSize
                << "-byte sectors assumed: an image does not record its sector size and no file system tells; "
                   "--sector-size sets it)";
        else
            out << " (" << (disk.table.empty() ? "no partition table" : disk.table + " partition table")
                << (disk.sectorSize != 512 ? ", " + std::to_string(disk.sectorSize) + "-byte sectors" : "") << ")";
    }
    out << "\n";
}

void PrintText(const Report& report, std::ostream& out)
{
    auto byIdentity = PartitionsByIdentity(report.scan);
    out << "Hive: " << OneLine(report.hive) << "\n";
    if (!report.recovery.empty())
        out << "Read as " << OneLine(report.recovery) << "\n";
    if (report.entries.empty())
        out << "The clone's MountedDevices gives no drive letter.\n";
    for (const CloneEntry& entry : report.entries) {
        DecodedIdentity id = DecodeIdentity(entry.data);
        out << entry.letter << "  " << IdentityText(entry.data) << "\n";
        out << "    identity " << IdentityKindName(id.kind) << " " << HexText(entry.data) << "\n";
        for (const std::string& name : VolumeNamesOf(report, entry.data))
            out << "    volume   " << OneLine(name) << "\n";
        auto found = byIdentity.find(entry.data);
        if (found == byIdentity.end()) {
            out << "    on       no partition of the examined disks\n";
        } else {
            for (const Partition* part : found->second)
                out << "    on       " << PartitionText(*part) << "\n";
        }
    }
    bool heading = false;
    for (const Partition& part : report.scan.partitions) {
        if (part.identity.empty() || HasLetter(report, part.identity))
            continue;
        if (!heading)
            out << "Partitions the clone gives no letter:\n";
        heading = true;
        out << "  " << PartitionText(part) << "\n    " << IdentityText(part.identity) << "\n";
    }
    PrintDisksText(report.scan, out);
    if (report.boot.checked)
        PrintBootText(report, out);
    for (const std::string& warning : report.warnings)
        out << "Warning: " << OneLine(warning) << "\n";
}

void PrintStoreText(const StoreReport& store, std::ostream& out)
{
    out << "Boot store: " << OneLine(store.store) << "\n";
    if (!store.recovery.empty())
        out << "Read as " << OneLine(store.recovery) << "\n";
    for (const StoreObject& shown : store.shown) {
        const BootObject& object = *shown.object;
        out << OneLine(object.id) << "  " << BootObjectTypeName(object.type);
        if (!object.description.empty())
            out << " \"" << OneLine(object.description) << "\"";
        out << "\n";
        for (const StoreDevice& device : shown.devices) {
            std::string name = BootElementName(device.element->type);
            out << "    " << name << std::string(name.size() < 20 ? 20 - name.size() : 1, ' ')
                << BootDeviceText(device.element->device) << "\n";
            if (device.element->device.style == PartitionStyle::None)
                continue;
            out << "    " << std::string(20, ' ') << "on "
                << (device.found ? PartitionText(*device.found) : "no partition of the examined disks") << "\n";
        }
    }
    if (store.shown.empty())
        out << "No entry of the store names a device.\n";
    out << "Firmware entries: " << store.firmwareEntries << " (the machine's own; never changed)";
    for (std::size_t i = 0; i < store.firmwareDescriptions.size(); ++i)
        out << (i == 0 ? ": " : ", ") << "\"" << OneLine(store.firmwareDescriptions[i]) << "\"";
    out << "\n";
}

void PrintStoreWarnings(const StoreReport& store, std::ostream& out)
{
    for (const std::string& warning : store.warnings)
        out << "Warning: " << OneLine(warning) << "\n";
}

namespace {

Json DisksJson(const DiskScan& scan)
{
    Json disks = Json::array();
    for (const DiskInfo& disk : scan.disks) {
        Json item{{"path", disk.path}, {"readable", disk.error.empty()}};
        item["table"] = disk.table.empty() ? Json(nullptr) : Json(disk.table);
        item["sector_size"] = disk.sectorSize;
        item["sector_size_known"] = disk.sectorSizeKnown;
        item["format"] = disk.format.empty() ? Json("raw") : Json(disk.format);
        if (!disk.error.empty())
            item["error"] = disk.error;
        disks.push_back(std::move(item));
    }
    return disks;
}

} // namespace

void EmitJson(const Json& doc, std::ostream& out)
{
    // Names and labels come from foreign disks: bytes that are no UTF-8 are
    // replaced rather than failing the whole report, and everything else
    // beyond ASCII is escaped, so the terminal escape passes it unchanged.
    out << doc.dump(2, ' ', true, Json::error_handler_t::replace) << "\n";
}

std::string DriverChangeText(const BootDriverChange& change)
{
    return "Boot driver: " + change.keyPath + "\\" + change.valueName + " " +
           (change.oldData ? std::to_string(*change.oldData) : "(none)") + " -> " + std::to_string(change.newData);
}

std::string PartitionText(const Partition& part)
{
    std::string kind = !part.fs.empty()           ? part.fs
                       : IsMicrosoftReserved(part) ? "Microsoft reserved, no file system"
                       : !part.damaged.empty()     ? "damaged " + part.damaged
                                                   : "unknown file system";
    std::string text = part.path + " (" + kind;
    if (!part.label.empty())
        text += ", label \"" + part.label + "\"";
    return OneLine(text + ", " + SizeText(part.size) + ")");
}

std::string PartitionWhere(const BootDevice& device)
{
    if (device.style == PartitionStyle::Mbr)
        return "the partition at " + std::to_string(device.offset) + " bytes of disk " + SignatureText(device.signature);
    return "the partition " + GuidText(device.partition) + " of disk " + GuidText(device.disk);
}

void PrintStoreJson(const StoreReport& store, const DiskScan& scan, std::ostream& out)
{
    EmitJson(Json{{"boot", StoreJson(store)}, {"disks", DisksJson(scan)}}, out);
}

void PrintJson(const Report& report, std::ostream& out, const StoreReport* store)
{
    auto byIdentity = PartitionsByIdentity(report.scan);
    Json entries = Json::array();
    for (const CloneEntry& entry : report.entries) {
        DecodedIdentity id = DecodeIdentity(entry.data);
        Json item{{"letter", entry.letter}, {"identity", HexText(entry.data)}, {"kind", IdentityKindName(id.kind)}};
        if (id.kind == IdentityKind::Mbr) {
            item["disk_signature"] = SignatureText(id.diskSignature);
            item["offset"] = id.offset;
        } else if (id.kind == IdentityKind::Gpt) {
            item["partition_guid"] = GuidText(id.guid);
        } else if (id.kind == IdentityKind::Device) {
            item["device_path"] = Utf16ToUtf8(id.devicePath);
        }
        item["volume_names"] = VolumeNamesOf(report, entry.data);
        auto found = byIdentity.find(entry.data);
        item["partition"] = found == byIdentity.end() ? Json(nullptr) : PartitionJson(*found->second.front());
        entries.push_back(std::move(item));
    }
    Json unlettered = Json::array();
    for (const Partition& part : report.scan.partitions) {
        if (part.identity.empty() || HasLetter(report, part.identity))
            continue;
        unlettered.push_back(Json{{"path", part.path},
                                  {"identity", HexText(part.identity)},
                                  {"kind", IdentityKindName(DecodeIdentity(part.identity).kind)},
                                  {"fs", part.fs},
                                  {"label", part.label},
                                  {"size", part.size}});
    }
    Json doc{{"hive", report.hive},         {"recovered_from", report.recoveredFrom}, {"entries", entries},
             {"unlettered", unlettered}, {"disks", DisksJson(report.scan)}};
    if (report.boot.checked) {
        const BootReport& boot = report.boot;
        doc["own_volume"] = Json{{"device", boot.device.empty() ? Json(nullptr) : Json(boot.device)},
                                 {"partition", boot.partition.empty() ? Json(nullptr) : Json(boot.partition)},
                                 {"letter", boot.letter.empty() ? Json(nullptr) : Json(boot.letter)}};
        doc["boot_drivers"] = BootJson(boot);
    }
    if (store != nullptr)
        doc["boot"] = StoreJson(*store);
    doc["warnings"] = report.warnings;
    EmitJson(doc, out);
}
