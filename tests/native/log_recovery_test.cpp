// Recovery of dirty hives from their transaction logs: the real logs Windows
// wrote for a user's class hive, and logs made here in both formats and in
// every way a log can be bad.
#include "cli/hivefile/hivex_handle.h"
#include "hive/bytes.h"
#include "hive/hive_file.h"
#include "hive/log_recovery.h"
#include "support/regf_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> Unxz(const char* name)
{
    std::string command = std::string("xz -dc '") + VOSK_TESTDATA_DIR + "/" + name + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::vector<std::uint8_t> bytes;
    if (pipe == nullptr)
        return bytes;
    std::uint8_t buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
    pclose(pipe);
    return bytes;
}

struct KeyFacts {
    std::int64_t written = 0;
    std::set<std::string> values;
};

// Every key of a hive by path, read through libhivex; false when any key or
// value cannot be read.
bool WalkHive(const std::vector<std::uint8_t>& image, std::map<std::string, KeyFacts>* keys)
{
    fs::path file = fs::temp_directory_path() / ("vosk-walk-" + std::to_string(getpid()));
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                static_cast<std::streamsize>(image.size()));
    HivexHandle handle = OpenHivex(file.c_str(), 0);
    fs::remove(file);
    hive_h* hive = handle.get();
    if (hive == nullptr)
        return false;
    std::vector<std::pair<hive_node_h, std::string>> pending = {{hivex_root(hive), ""}};
    while (!pending.empty()) {
        auto [node, path] = pending.back();
        pending.pop_back();
        KeyFacts& facts = (*keys)[path];
        facts.written = hivex_node_timestamp(hive, node);
        HivexOwned<hive_value_h> values(hivex_node_values(hive, node));
        if (values == nullptr)
            return false;
        for (std::size_t i = 0; values.get()[i] != 0; ++i) {
            HivexOwned<char> name(hivex_value_key(hive, values.get()[i]));
            hive_type type;
            std::size_t length;
            HivexOwned<char> data(hivex_value_value(hive, values.get()[i], &type, &length));
            if (name == nullptr || data == nullptr)
                return false;
            facts.values.insert(name.get());
        }
        HivexOwned<hive_node_h> children(hivex_node_children(hive, node));
        if (children == nullptr)
            return false;
        for (std::size_t i = 0; children.get()[i] != 0; ++i) {
            HivexOwned<char> name(hivex_node_name(hive, children.get()[i]));
            if (name == nullptr)
                return false;
            pending.push_back({children.get()[i], path + "\\" + name.get()});
        }
    }
    return true;
}

TEST(LogRecovery, TheRealLogsOfAUserClassHiveApplyInSequenceAcrossBothFiles)
{
    std::vector<std::uint8_t> base = Unxz("UsrClass.dat.xz");
    std::vector<HiveLog> logs = {{"UsrClass.dat.LOG2", Unxz("UsrClass.dat.LOG2.xz")},
                                 {"UsrClass.dat.LOG1", Unxz("UsrClass.dat.LOG1.xz")}};
    ASSERT_EQ(base.size(), 2883584u);
    BaseBlock block;
    ASSERT_TRUE(ParseBaseBlock(base, &block));
    ASSERT_TRUE(block.Dirty());

    // Handed over LOG2 first: the order comes from the logs, not their names.
    Recovery r = RecoverHive(base, logs);
    ASSERT_TRUE(r.recovered) << r.why;
    EXPECT_EQ(r.entries, 14);
    EXPECT_EQ(r.firstSequence, 287u);
    EXPECT_EQ(r.lastSequence, 300u);
    EXPECT_EQ(r.pages, 158);
    EXPECT_EQ(r.applied, (std::vector<std::string>{"UsrClass.dat.LOG1", "UsrClass.dat.LOG2"}));
    BaseBlock recovered;
    ASSERT_TRUE(ParseBaseBlock(r.hive, &recovered));
    EXPECT_EQ(recovered.primarySequence, 300u);
    EXPECT_EQ(recovered.secondarySequence, 300u);
    EXPECT_EQ(recovered.hiveBinsSize, 2830336u);
    EXPECT_TRUE(recovered.checksumOk);

    std::map<std::string, KeyFacts> before, after;
    ASSERT_TRUE(WalkHive(base, &before));
    ASSERT_TRUE(WalkHive(r.hive, &after)) << "libhivex reads every key and value of the result";
    int keys = 0;
    int values = 0;
    for (const auto& [path, facts] : after)
        keys += before.count(path) == 0;
    for (const auto& [path, facts] : before) {
        auto other = after.find(path);
        if (other == after.end()) {
            ++keys;
            continue;
        }
        if (other->second.written == facts.written)
            continue;
        for (const std::string& name : facts.values)
            values += other->second.values.count(name) == 0;
        for (const std::string& name : other->second.values)
            values += facts.values.count(name) == 0;
    }
    EXPECT_EQ(keys, 33);
    EXPECT_EQ(values, 40);
}

void Seal(std::vector<std::uint8_t>& block)
{
    PutLe32(block, 0x1FC, BaseBlockChecksum(block));
}

// A dirty hive: one bin, sequence numbers 2 and 1, written at time 7.
std::vector<std::uint8_t> DirtyHive()
{
    std::vector<std::uint8_t> hive = MinimalHiveImage();
    PutLe32(hive, 0x04, 2);
    PutLe32(hive, 0x08, 1);
    PutLe64(hive, 0x0C, 7);
    Seal(hive);
    return hive;
}

// The hive's one bin with a mark in its free space.
std::vector<std::uint8_t> Bin(const std::vector<std::uint8_t>& hive, std::uint8_t mark, std::uint32_t offset = 0)
{
    std::vector<std::uint8_t> bin(hive.begin() + 4096, hive.begin() + 8192);
    PutLe32(bin, 4, offset);
    bin[0x800] = mark;
    return bin;
}

// The older format: the base block's first sector, a DIRT bitmap of the
// 512-byte pages given, then those pages.
std::vector<std::uint8_t> OldLog(const std::vector<std::uint8_t>& hive, std::uint32_t sequence,
                                 const std::vector<std::uint8_t>& image, const std::vector<std::size_t>& dirty)
{
    std::vector<std::uint8_t> log(hive.begin(), hive.begin() + 512);
    PutLe32(log, 0x04, sequence);
    PutLe32(log, 0x08, sequence);
    PutLe32(log, 0x1C, 1);
    PutLe32(log, 0x28, static_cast<std::uint32_t>(image.size() - 4096));
    Seal(log);
    std::size_t bits = (image.size() - 4096) / 512;
    std::vector<std::uint8_t> vector(4 + (bits + 7) / 8, 0);
    std::memcpy(vector.data(), "DIRT", 4);
    for (std::size_t bit : dirty)
        vector[4 + bit / 8] |= static_cast<std::uint8_t>(1 << (bit % 8));
    vector.resize((vector.size() + 511) / 512 * 512);
    log.insert(log.end(), vector.begin(), vector.end());
    for (std::size_t bit : dirty)
        log.insert(log.end(), image.begin() + 4096 + bit * 512, image.begin() + 4096 + bit * 512 + 512);
    return log;
}

TEST(LogRecovery, NewFormatEntriesApplyInOrderAndGrowTheHive)
{
    std::vector<std::uint8_t> hive = DirtyHive();
    std::vector<std::uint8_t> log = MakeNewFormatLog(hive, 1,
                                           {{0, 4096, {{0, Bin(hive, 0xA0)}}}, // already in the base file
                                            {1, 4096, {{0, Bin(hive, 0xA1)}}},
                                            {2, 8192, {{0, Bin(hive, 0xA2)}, {4096, Bin(hive, 0xB2, 4096)}}}});
    std::vector<HiveLog> logs = {{"SYSTEM.LOG1", log}};
    Recovery r = RecoverHive(hive, logs);
    ASSERT_TRUE(r.recovered) << r.why;
    EXPECT_EQ(r.entries, 2);
    EXPECT_EQ(r.firstSequence, 1u);
    EXPECT_EQ(r.lastSequence, 2u);
    EXPECT_EQ(r.pages, 3);
    ASSERT_EQ(r.hive.size(), 4096u + 8192u);
    EXPECT_EQ(r.hive[4096 + 0x800], 0xA2);
    EXPECT_EQ(r.hive[8192 + 0x800], 0xB2);
    BaseBlock block;
    ASSERT_TRUE(ParseBaseBlock(r.hive, &block));
    EXPECT_FALSE(block.Dirty());
    EXPECT_EQ(block.primarySequence, 2u);
    EXPECT_EQ(block.hiveBinsSize, 8192u);
    EXPECT_TRUE(block.checksumOk);
}

// Each kind of bad entry ends recovery there: what came before it is
// applied, nothing after it.
TEST(LogRecovery, ABadEntryStopsRecoveryAndNothingAfterItIsApplied)
{
    std::vector<std::uint8_t> hive = DirtyHive();
    auto recover = [&](std::vector<std::uint8_t> log) {
        std::vector<HiveLog> logs = {{"SYSTEM.LOG1", std::move(log)}};
        return RecoverHive(hive, logs);
    };
    auto first = [&](std::vector<LogEntryPlan> more) {
        std::vector<LogEntryPlan> entries = {{1, 4096, {{0, Bin(hive, 0xA1)}}}};
        entries.insert(entries.end(), more.begin(), more.end());
        return MakeNewFormatLog(hive, 1, entries);
    };
    const std::vector<LogEntryPlan> third = {{3, 4096, {{0, Bin(hive, 0xA3)}}}};
    struct Case {
        const char* what;
        std::vector<std::uint8_t> log;
    };
    std::vector<Case> cases;
    cases.push_back({"a sequence gap", first(third)});
    std::vector<std::uint8_t> log = first({{2, 4096, {{0, Bin(hive, 0xA2)}}}});
    log[512 + 512 + 4096 + 100] ^= 1; // a page byte of the second entry
    cases.push_back({"a wrong hash", log});
    log = first({{2, 4096, {{0, Bin(hive, 0xA2)}}}});
    log.resize(log.size() - 700);
    cases.push_back({"a truncated log", log});
    log = first({{2, 4096, {{4096, Bin(hive, 0xA2)}}}});
    cases.push_back({"a page outside the hive", log});
    std::vector<std::uint8_t> twoPages = Bin(hive, 0xA2);
    std::vector<std::uint8_t> secondPage = Bin(hive, 0xA4);
    twoPages.insert(twoPages.end(), secondPage.begin(), secondPage.end());
    log = first({{2, 4096, {{0, twoPages}}}});
    cases.push_back({"a page that starts inside the hive bins but runs past their end", log});
    log = first({{2, 4096, {{0, Bin(hive, 0xA2)}}}});
    std::memcpy(log.data() + 512 + 4608, "HvLX", 4);
    cases.push_back({"a wrong entry signature", log});
    log = first({{2, 6000, {{0, Bin(hive, 0xA2)}}}});
    cases.push_back({"a hive size that is no whole page", log});
    log = first({{2, 4096, {{0, Bin(hive, 0xA2)}}}});
    log[512 + 4608 + 8] ^= 1; // the second entry's flags, which only Hash-2 covers
    cases.push_back({"a header byte that fails Hash-2", log});
    log = first({{2, 1u << 30, {{0, Bin(hive, 0xA2)}}}});
    cases.push_back({"a hive grown past what the logs hold", log});
    // Each entry grows the hive by less than the log's own size, but all of
    // them together by far more than the base file and the log.
    std::vector<LogEntryPlan> growing;
    for (std::uint32_t i = 0; i < 40; ++i)
        growing.push_back({2 + i, 4096 * (2 + 4 * i), {{0, Bin(hive, static_cast<std::uint8_t>(0xB0 + i))}}});
    log = first(growing);
    Recovery grown = recover(log);
    ASSERT_TRUE(grown.recovered);
    EXPECT_LE(grown.hive.size(), hive.size() + log.size()) << "the bound holds in total";
    EXPECT_LT(grown.lastSequence, 41u);
    for (const Case& c : cases) {
        Recovery r = recover(c.log);
        ASSERT_TRUE(r.recovered) << c.what;
        EXPECT_EQ(r.lastSequence, 1u) << c.what;
        EXPECT_EQ(r.hive[4096 + 0x800], 0xA1) << c.what;
        EXPECT_EQ(r.hive.size(), 8192u) << c.what;
    }

    // Logs that give nothing: the hive is refused, not guessed at.
    log = first({});
    log[0] = 'R';
    std::vector<std::uint8_t> noise(20000);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    std::vector<std::uint8_t> stale = MakeNewFormatLog(hive, 1, {{0, 4096, {{0, Bin(hive, 0xA0)}}}}); // already applied
    for (const std::vector<std::uint8_t>& bad : {log, noise, std::vector<std::uint8_t>{}, stale}) {
        Recovery r = recover(bad);
        EXPECT_FALSE(r.recovered);
        EXPECT_FALSE(r.why.empty());
    }
    EXPECT_FALSE(RecoverHive(hive, {}).recovered);
}

TEST(LogRecovery, OldFormatLogsApplyTheirDirtySectorsWhenTheyMatchTheBaseFile)
{
    std::vector<std::uint8_t> hive = DirtyHive();
    std::vector<std::uint8_t> image = hive;
    image[4096 + 0x800] = 0xC1;      // sector 4 of the bins
    image[4096 + 0xE00 + 3] = 0xC2;  // sector 7
    std::vector<std::uint8_t> log = OldLog(hive, 5, image, {4, 7});
    Recovery r = RecoverHive(hive, std::vector<HiveLog>{{"SYSTEM.LOG", log}});
    ASSERT_TRUE(r.recovered) << r.why;
    EXPECT_EQ(r.pages, 2);
    EXPECT_EQ(r.hive[4096 + 0x800], 0xC1);
    EXPECT_EQ(r.hive[4096 + 0xE03], 0xC2);
    BaseBlock block;
    ASSERT_TRUE(ParseBaseBlock(r.hive, &block));
    EXPECT_EQ(block.primarySequence, 5u);
    EXPECT_FALSE(block.Dirty());

    // A log of another write (other timestamp) or cut short is not applied.
    std::vector<std::uint8_t> other = log;
    PutLe64(other, 0x0C, 8);
    Seal(other);
    EXPECT_FALSE(RecoverHive(hive, std::vector<HiveLog>{{"SYSTEM.LOG", other}}).recovered);
    log.resize(log.size() - 1);
    EXPECT_FALSE(RecoverHive(hive, std::vector<HiveLog>{{"SYSTEM.LOG", log}}).recovered);
    // Nor one whose bins would grow past what the base file and the log hold.
    std::vector<std::uint8_t> huge = OldLog(hive, 5, image, {4, 7});
    PutLe32(huge, 0x28, 65536);
    Seal(huge);
    EXPECT_FALSE(RecoverHive(hive, std::vector<HiveLog>{{"SYSTEM.LOG", huge}}).recovered);

    // A damaged base block is taken from the log; the bin's timestamp then
    // tells which log belongs to the base file, since the damaged block's
    // own timestamp cannot be trusted.
    std::vector<std::uint8_t> damaged = hive;
    PutLe64(damaged, 4096 + 20, 7);
    PutLe64(damaged, 0x0C, 9);
    damaged[0x30] ^= 0xFF;
    log = OldLog(hive, 5, image, {4, 7});
    r = RecoverHive(damaged, std::vector<HiveLog>{{"SYSTEM.LOG", log}});
    ASSERT_TRUE(r.recovered) << r.why;
    EXPECT_TRUE(r.baseBlockFromLog);
    EXPECT_EQ(r.hive[0x30], hive[0x30]);
    EXPECT_EQ(Le32(r.hive, 0x1C), 0u) << "a primary file again";
}

// A damaged base block is taken from the newest log that holds a valid
// copy: an older copy may describe fewer bins than the entries fill.
TEST(LogRecovery, ADamagedBaseBlockComesFromTheNewestLog)
{
    std::vector<std::uint8_t> hive = DirtyHive();
    std::vector<std::uint8_t> older = MakeNewFormatLog(hive, 1, {{1, 4096, {{0, Bin(hive, 0xA1)}}}});
    std::vector<std::uint8_t> newer = MakeNewFormatLog(hive, 2, {{2, 4096, {{0, Bin(hive, 0xA2)}}}});
    older[0x30] = 0x11;
    PutLe32(older, 0x1FC, BaseBlockChecksum(older));
    newer[0x30] = 0x22;
    PutLe32(newer, 0x1FC, BaseBlockChecksum(newer));
    std::vector<std::uint8_t> damaged = hive;
    damaged[0x31] ^= 0xFF;
    for (bool newerFirst : {false, true}) {
        std::vector<HiveLog> logs = {{"SYSTEM.LOG1", older}, {"SYSTEM.LOG2", newer}};
        if (newerFirst)
            std::swap(logs[0], logs[1]);
        Recovery r = RecoverHive(damaged, logs);
        ASSERT_TRUE(r.recovered) << r.why;
        EXPECT_TRUE(r.baseBlockFromLog);
        EXPECT_EQ(r.hive[0x30], 0x22) << "newer first: " << newerFirst;
    }
}

} // namespace
