#include "hive/hive_file.h"

#include "hive/bytes.h"
#include "mounttable/text.h"

#include <cstring>

namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

std::uint32_t BaseBlockChecksum(std::span<const std::uint8_t> block)
{
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at + 4 <= 0x1FC && at + 4 <= block.size(); at += 4)
        sum ^= Le32(block, at);
    if (sum == 0xFFFFFFFFu)
        return 0xFFFFFFFEu;
    if (sum == 0)
        return 1;
    return sum;
}

bool ParseBaseBlock(std::span<const std::uint8_t> start, BaseBlock* block)
{
    if (start.size() < kBaseBlockBytes || std::memcmp(start.data(), "regf", 4) != 0)
        return false;
    block->primarySequence = Le32(start, 0x04);
    block->secondarySequence = Le32(start, 0x08);
    block->majorVersion = Le32(start, 0x14);
    block->minorVersion = Le32(start, 0x18);
    block->hiveBinsSize = Le32(start, 0x28);
    block->checksumOk = BaseBlockChecksum(start) == Le32(start, 0x1FC);
    return true;
}

bool IsHiveLogName(std::string_view hiveName, std::string_view candidate)
{
    if (candidate.size() <= hiveName.size() || CompareNoCase(candidate.substr(0, hiveName.size()), hiveName) != 0)
        return false;
    std::string_view suffix = candidate.substr(hiveName.size());
    return CompareNoCase(suffix, ".LOG") == 0 || CompareNoCase(suffix, ".LOG1") == 0 ||
           CompareNoCase(suffix, ".LOG2") == 0;
}

std::string CloneRootOfHivePath(std::string_view path)
{
    static constexpr std::string_view folders[] = {"config", "System32", "Windows"};
    std::size_t end = path.size();
    // Skip the file name, then match the three folders from the inside out.
    while (end > 0 && !IsSeparator(path[end - 1]))
        --end;
    if (end == path.size())
        return {};
    for (std::string_view folder : folders) {
        while (end > 0 && IsSeparator(path[end - 1]))
            --end;
        std::size_t begin = end;
        while (begin > 0 && !IsSeparator(path[begin - 1]))
            --begin;
        if (CompareNoCase(path.substr(begin, end - begin), folder) != 0)
            return {};
        end = begin;
    }
    while (end > 1 && IsSeparator(path[end - 1]))
        --end;
    if (end == 0)
        return "."; // a relative path: the clone's root is where we stand
    return std::string(path.substr(0, end));
}

bool IsHibernationImage(std::span<const std::uint8_t> start)
{
    return start.size() >= 4 &&
           CompareNoCase(std::string_view(reinterpret_cast<const char*>(start.data()), 4), "hibr") == 0;
}
