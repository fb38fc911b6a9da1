// libFuzzer target over the decoding of a MountedDevices value: any bytes are
// decoded without reading past them, an MBR or GPT identity decodes to what
// encodes it again byte for byte, and its text forms parse back.
#include "mounttable/identity.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> value(data, size);
    DecodedIdentity id = DecodeIdentity(value);
    std::vector<std::uint8_t> bytes(data, data + size);
    switch (id.kind) {
    case IdentityKind::Mbr:
        Check(MbrIdentity(id.diskSignature, id.offset) == bytes);
        WholeBinaryUnit(id.offset);
        break;
    case IdentityKind::Gpt: {
        Check(GptIdentity(id.guid) == bytes);
        std::array<std::uint8_t, 16> back{};
        Check(ParseGuid(GuidText(id.guid), &back) && back == id.guid);
        break;
    }
    case IdentityKind::Device:
        Check(!id.devicePath.empty());
        Utf16ToUtf8(id.devicePath);
        break;
    case IdentityKind::Other:
        break;
    }
    IdentityKindName(id.kind);
    std::vector<std::uint8_t> parsed;
    Check(ParseHex(HexText(value), &parsed) && parsed == bytes);
    return 0;
}
