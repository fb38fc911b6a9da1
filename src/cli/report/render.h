// The report as text for a person and as JSON for a program.
#pragma once

#include "cli/machine/printable.h"
#include "cli/hivefile/boot_driver_file.h"
#include "cli/report/boot_report.h"
#include "cli/report/report.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

std::string SizeText(std::uint64_t bytes);
// "MBR disk 5CBEA03E, partition at 1048576 bytes (1 MiB)" and the like.
std::string IdentityText(const Identity& data);
// "Boot driver: ControlSet001\Services\stornvme\Start 3 -> 0".
std::string DriverChangeText(const BootDriverChange& change);
// "/dev/sdb2 (ntfs, label \"Windows\", 100 GiB)", on one line.
std::string PartitionText(const Partition& part);
// The partition a boot store's element names: "the partition at 1048576
// bytes of disk 5CBEA03E" or by its GUIDs.
std::string PartitionWhere(const BootDevice& device);

void PrintText(const Report& report, std::ostream& out);
void PrintDisksText(const DiskScan& scan, std::ostream& out);
// With store, the boot store's report is part of the document.
void PrintJson(const Report& report, std::ostream& out, const StoreReport* store = nullptr);

// A boot store's entries and the devices they start from.
void PrintStoreText(const StoreReport& store, std::ostream& out);
void PrintStoreWarnings(const StoreReport& store, std::ostream& out);
// A store shown on its own: {"boot": ..., "disks": [...]}.
void PrintStoreJson(const StoreReport& store, const DiskScan& scan, std::ostream& out);

// A JSON document as every verb prints it: two-space indents, ASCII only,
// and bytes that are no UTF-8 replaced rather than failing the output.
void EmitJson(const nlohmann::ordered_json& doc, std::ostream& out);
