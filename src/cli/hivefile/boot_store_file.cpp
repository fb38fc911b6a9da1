#include "cli/hivefile/boot_store_file.h"

#include "cli/hivefile/hivex_handle.h"
#include "mounttable/identity.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

std::string Failed(const std::string& what)
{
    return what + ": " + std::strerror(errno != 0 ? errno : EINVAL);
}

bool Children(hive_h* hive, hive_node_h node, std::vector<std::pair<std::string, hive_node_h>>* out)
{
    HivexOwned<hive_node_h> children(hivex_node_children(hive, node));
    if (!children)
        return false;
    for (std::size_t i = 0; children.get()[i] != 0; ++i) {
        HivexOwned<char> name(hivex_node_name(hive, children.get()[i]));
        if (!name)
            return false;
        out->emplace_back(name.get(), children.get()[i]);
    }
    return true;
}

// False when the value is there but cannot be read; *found says whether it is.
bool Value(hive_h* hive, hive_node_h node, const char* name, hive_type* type, std::vector<std::uint8_t>* data,
           bool* found)
{
    hive_value_h value = 0;
    if (!FindValue(hive, node, name, &value))
        return false;
    *found = value != 0;
    if (value == 0)
        return true;
    std::size_t length = 0;
    HivexOwned<char> bytes(hivex_value_value(hive, value, type, &length));
    if (!bytes)
        return false;
    data->assign(bytes.get(), bytes.get() + length);
    return true;
}

bool ReadType(hive_h* hive, hive_node_h object, const std::string& path, BootObject* out, std::string* error)
{
    hive_node_h description = 0;
    if (!FindChild(hive, object, "Description", &description)) {
        *error = Failed("cannot read " + path + "\\Description");
        return false;
    }
    if (description == 0) {
        *error = path + " has no Description key";
        return false;
    }
    hive_type type;
    std::vector<std::uint8_t> data;
    bool found = false;
    if (!Value(hive, description, "Type", &type, &data, &found)) {
        *error = Failed("cannot read the Type of " + path);
        return false;
    }
    if (!found || type != hive_t_REG_DWORD || data.size() != 4) {
        *error = path + "\\Description has no DWORD Type";
        return false;
    }
    out->type = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    return true;
}

bool ReadElements(hive_h* hive, hive_node_h object, const std::string& path, BootObject* out, std::string* error)
{
    hive_node_h elements = 0;
    if (!FindChild(hive, object, "Elements", &elements)) {
        *error = Failed("cannot read " + path + "\\Elements");
        return false;
    }
    std::vector<std::pair<std::string, hive_node_h>> keys;
    if (elements != 0 && !Children(hive, elements, &keys)) {
        *error = Failed("cannot list " + path + "\\Elements");
        return false;
    }
    for (const auto& [name, node] : keys) {
        BootElement element;
        element.key = path + "\\Elements\\" + name;
        if (!ParseHex32(name, &element.type)) {
            *error = element.key + " is not named by an element type";
            return false;
        }
        bool isString = IsStringElement(element.type); // the description among them
        if (element.type != kDefaultObjectElement && !IsDeviceElement(element.type) && !isString)
            continue;
        hive_type type;
        bool found = false;
        if (!Value(hive, node, "Element", &type, &element.bytes, &found)) {
            *error = Failed("cannot read " + element.key + "\\Element");
            return false;
        }
        if (!found) {
            *error = element.key + " has no Element value";
            return false;
        }
        if (element.type == kDescriptionElement) {
            out->description = BootStringElement(element.bytes);
            continue;
        }
        if (element.type == kDefaultObjectElement) {
            out->defaultObject = BootStringElement(element.bytes);
            continue;
        }
        if (isString) {
            out->strings[element.type] = BootStringElement(element.bytes);
            continue;
        }
        element.device = DecodeBootDevice(element.bytes);
        out->devices.push_back(std::move(element));
    }
    return true;
}

} // namespace

bool IsBootStore(hive_h* hive)
{
    hive_node_h root = hivex_root(hive);
    return root != 0 && hivex_node_get_child(hive, root, "Objects") != 0 &&
           hivex_node_get_child(hive, root, "Description") != 0;
}

std::vector<BootObject> ReadBootObjects(hive_h* hive, std::string* error)
{
    error->clear();
    hive_node_h root = hivex_root(hive);
    hive_node_h objects = 0;
    if (root == 0 || !FindChild(hive, root, "Objects", &objects)) {
        *error = Failed("cannot read the Objects key");
        return {};
    }
    if (objects == 0) {
        *error = "the hive has no Objects key";
        return {};
    }
    std::vector<std::pair<std::string, hive_node_h>> keys;
    if (!Children(hive, objects, &keys)) {
        *error = Failed("cannot list the Objects key");
        return {};
    }
    std::vector<BootObject> list;
    for (const auto& [name, node] : keys) {
        BootObject object;
        object.id = name;
        std::string path = "Objects\\" + name;
        if (!ReadType(hive, node, path, &object, error) || !ReadElements(hive, node, path, &object, error))
            return {};
        list.push_back(std::move(object));
    }
    return list;
}
