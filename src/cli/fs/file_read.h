// The one way the command reads a file of this machine (a hive, a log, a
// boot store): all of it, or an error that names the file as the person
// named it (name) and the system's reason. A read that ends before the size
// the file had when opened is an error, never its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

bool ReadWholeFile(const std::string& path, const std::string& name, std::vector<std::uint8_t>* bytes,
                   std::string* error);

// Up to size bytes from the start; *got is less only when the file is
// shorter.
bool ReadFileStart(const std::string& path, const std::string& name, std::uint8_t* buffer, std::size_t size,
                   std::size_t* got, std::string* error);
