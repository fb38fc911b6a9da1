// Ownership of what libhivex hands out: an open hive, and the malloc'd
// arrays and strings its calls return; and the look-ups that tell a missing
// key or value from one that cannot be read.
#pragma once

#include <hivex.h>

#include <cerrno>
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

// libhivex answers 0 both for "no such child" and for a failure; only a
// failure sets errno. False on a failure; *child is 0 when there is none.
inline bool FindChild(hive_h* hive, hive_node_h parent, const char* name, hive_node_h* child)
{
    errno = 0;
    *child = hivex_node_get_child(hive, parent, name);
    return *child != 0 || errno == 0;
}

// The same for a value of node.
inline bool FindValue(hive_h* hive, hive_node_h node, const char* name, hive_value_h* value)
{
    errno = 0;
    *value = hivex_node_get_value(hive, node, name);
    return *value != 0 || errno == 0;
}
