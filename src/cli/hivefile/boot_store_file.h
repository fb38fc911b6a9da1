// A boot store read through libhivex: its objects and the devices they name.
#pragma once

#include "hive/boot_store.h"

#include <hivex.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct BootElement {
    std::uint32_t type = 0;
    std::string key;                 // "Objects\\{id}\\Elements\\11000001", for WalkHive when rewriting
    std::vector<std::uint8_t> bytes; // the Element value as stored
    BootDevice device;
};

struct BootObject {
    std::string id; // the key's name, "{9dea862c-5cdd-4e70-acc1-f32b344d4795}"
    std::uint32_t type = 0;
    std::string description;   // empty when the object has none
    std::string defaultObject; // a boot manager's default entry, "{...}"; empty when none
    std::vector<BootElement> devices;
    // The string elements by type: the application path (12000002), the
    // system root or file path (22000002), the SDI path (32000004)...
    std::map<std::uint32_t, std::string> strings;
};

// A hive whose root holds "Objects" and "Description", as every boot store's does.
bool IsBootStore(hive_h* hive);

// Every object in stored order with its device elements. Any key or value
// that cannot be read, an object without a DWORD type and an element key not
// named by 8 hexadecimal digits make it fail: an empty list and the reason
// in error (which is cleared on success).
std::vector<BootObject> ReadBootObjects(hive_h* hive, std::string* error);
