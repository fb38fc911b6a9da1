// Writes the smallest registry hive file that other implementations accept:
// a base block and one bin holding an empty root key and its security cell.
#pragma once

#include <cstdint>
#include <vector>

std::vector<std::uint8_t> MinimalHiveImage();
bool WriteMinimalHive(const char* path);
