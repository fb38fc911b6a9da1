// Ownership of what libhivex hands out: an open hive, and the malloc'd
// arrays and strings its calls return.
#pragma once

#include <hivex.h>

#include <cstdlib>
#include <memory>

struct HivexCloser {
    void operator()(hive_h* hive) const { hivex_close(hive); }
};
using HivexHandle = std::unique_ptr<hive_h, HivexCloser>;

struct HivexFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using HivexOwned = std::unique_ptr<T, HivexFree>;

inline HivexHandle OpenHivex(const char* path, int flags)
{
    return HivexHandle(hivex_open(path, flags));
}
