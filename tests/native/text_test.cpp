#include "mounttable/identity.h"
#include "mounttable/text.h"
#include "support/doubles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Encode(const std::vector<std::uint8_t>& data)
{
    char out[kHexChars];
    std::memset(out, 'X', sizeof out);
    EncodeDeviceDataHex(data.data(), data.size(), out);
    return std::string(out, TextLength(out, sizeof out));
}

TEST(DeviceDataHex, EncodesUpperCaseDigitPairsWithoutSeparators)
{
    EXPECT_EQ(Encode({0x00, 0xAB, 0x0F}), "00AB0F");
    EXPECT_EQ(Encode({}), "");
    EXPECT_EQ(Encode(std::vector<std::uint8_t>(12, 0x5A)).size(), 24u);
}

TEST(DeviceDataHex, DecodesEitherCaseAndIgnoresAnOddLastCharacter)
{
    std::uint8_t out[kRegDataBytes];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(DecodeDeviceDataHex("00ab0f", out), 3u);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0xAB);
    EXPECT_EQ(out[2], 0x0F);
    EXPECT_EQ(out[3], 0x00) << "the buffer is zeroed first";
    EXPECT_EQ(out[kRegDataBytes - 1], 0x00);

    ASSERT_EQ(DecodeDeviceDataHex("12345", out), 2u);
    EXPECT_EQ(out[1], 0x34);
    EXPECT_EQ(out[2], 0x00);
}

TEST(DeviceDataHex, RoundTripsEveryByteValue)
{
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> firstHalf(all.begin(), all.begin() + 200);
    std::string hex = Encode(firstHalf);
    std::uint8_t out[kRegDataBytes];
    ASSERT_EQ(DecodeDeviceDataHex(hex.c_str(), out), firstHalf.size());
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + firstHalf.size()), firstHalf);
}

// An identity of 511 bytes still fits the cell whole; from 512 bytes on the
// text is cut inside the cell and must be recognisably not whole.
TEST(DeviceDataHex, LongIdentitiesAreCutAtTheCellAndMarkedNotWhole)
{
    std::string fits = Encode(std::vector<std::uint8_t>(511, 0xC3));
    EXPECT_EQ(fits.size(), 1022u);
    EXPECT_TRUE(IsWholeDeviceDataHex(fits.c_str()));

    for (std::size_t length : {512u, 513u, 1025u}) {
        char out[kHexChars + 8];
        std::memset(out, 'X', sizeof out);
        std::vector<std::uint8_t> data(length, 0xC3);
        EncodeDeviceDataHex(data.data(), data.size(), out);
        EXPECT_EQ(TextLength(out, kHexChars), kHexChars - 1) << length;
        EXPECT_EQ(std::string(out + kHexChars, 8), std::string(8, 'X')) << "nothing past the cell";
        EXPECT_FALSE(IsWholeDeviceDataHex(out)) << length;
    }
    EXPECT_FALSE(IsWholeDeviceDataHex("ABC"));
    EXPECT_TRUE(IsWholeDeviceDataHex(""));
}

TEST(CompareNoCase, FoldsOnlyAsciiCapitalsAndReturnsTheFoldedByteDifference)
{
    EXPECT_EQ(CompareNoCase("00ab0f", "00AB0F"), 0);
    EXPECT_EQ(CompareNoCase("E:", "e:"), 0);
    EXPECT_EQ(CompareNoCase("a", "c"), 'a' - 'c');
    EXPECT_EQ(CompareNoCase("B", "a"), 'b' - 'a');
    EXPECT_EQ(CompareNoCase("ab", "a"), 'b');
    EXPECT_EQ(CompareNoCase("", "a"), -'a');
    // Bytes compare as unsigned: 0x82 sorts after every ASCII byte.
    EXPECT_GT(CompareNoCase("\x82", "z"), 0);
    // A trail byte in the A-Z range is folded too ("ア" is 0x83 0x41 in CP932).
    EXPECT_EQ(CompareNoCase("\x83\x41", "\x83\x61"), 0);
    // Characters beyond Z fold to nothing: '[' stays above 'Z' but below 'a'.
    EXPECT_LT(CompareNoCase("[", "a"), 0);
}

TEST(CompareNoCase, FoldedTextsAreEqualExactlyWhenTheComparisonSaysEqual)
{
    const char* texts[] = {"00AB0F", "00ab0f", "00Ab0F", "00AB0", "\x83\x41", "\x83\x61", "\x83\x42", "", "[", "{"};
    for (const char* a : texts)
        for (const char* b : texts)
            EXPECT_EQ(FoldedText(a) == FoldedText(b), CompareNoCase(a, b) == 0) << a << " / " << b;
}

TEST(DriveLetterEntry, RecognisesThePrefixInAnyCaseAndTakesTheRestUnchanged)
{
    ASSERT_NE(DriveLetterPart("\\DosDevices\\C:"), nullptr);
    EXPECT_STREQ(DriveLetterPart("\\DosDevices\\C:"), "C:");
    EXPECT_STREQ(DriveLetterPart("\\dosdevices\\E:"), "E:");
    EXPECT_STREQ(DriveLetterPart("\\DOSDEVICES\\"), "");
    EXPECT_STREQ(DriveLetterPart("\\DosDevices\\LongName"), "LongName");
    EXPECT_EQ(DriveLetterPart("\\??\\Volume{4a3b1c2d-0000-0000-0000-100000000000}"), nullptr);
    EXPECT_EQ(DriveLetterPart("\\DosDevices"), nullptr);
    EXPECT_EQ(DriveLetterPart("/DosDevices/C:"), nullptr);
    EXPECT_EQ(DriveLetterPart(""), nullptr);
}

TEST(DriveTypeName, NamesTheSevenCodesAndCountsOthersAsUnknown)
{
    EXPECT_STREQ(DriveTypeName(0), "DRIVE_UNKNOWN");
    EXPECT_STREQ(DriveTypeName(1), "DRIVE_NO_ROOT_DIR");
    EXPECT_STREQ(DriveTypeName(3), "DRIVE_FIXED");
    EXPECT_STREQ(DriveTypeName(6), "DRIVE_RAMDISK");
    EXPECT_STREQ(DriveTypeName(7), "DRIVE_UNKNOWN");
    EXPECT_STREQ(DriveTypeName(-1), "DRIVE_UNKNOWN");
    EXPECT_STREQ(DriveTypeName(0x100000003LL), "DRIVE_UNKNOWN");
}

TEST(BoundedText, CopyAndAppendCutAtCapacityAndAlwaysTerminate)
{
    char buf[6];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_FALSE(CopyText(buf, 4, "abcdef"));
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'X');
    EXPECT_TRUE(CopyText(buf, sizeof buf, "ab"));
    EXPECT_TRUE(AppendText(buf, sizeof buf, "cd"));
    EXPECT_FALSE(AppendText(buf, sizeof buf, "ef"));
    EXPECT_STREQ(buf, "abcde");
}

} // namespace

namespace {

TEST(Identity, DecodesMbrGptAndDevicePathsAndCallsTheRestOther)
{
    DecodedIdentity mbr = DecodeIdentity(MbrIdentity(0x5CBEA03E, 0x1900000000ull));
    EXPECT_EQ(mbr.kind, IdentityKind::Mbr);
    EXPECT_EQ(mbr.diskSignature, 0x5CBEA03Eu);
    EXPECT_EQ(mbr.offset, 0x1900000000ull);
    EXPECT_EQ(HexText(MbrIdentity(0x5CBEA03E, 0x100000)), "3EA0BE5C0000100000000000");

    std::array<std::uint8_t, 16> guid;
    ASSERT_TRUE(ParseGuid("{8F0A77AA-5C1E-4F0E-9D6A-1F2E3D4C5B6A}", &guid));
    DecodedIdentity gpt = DecodeIdentity(GptIdentity(guid));
    EXPECT_EQ(gpt.kind, IdentityKind::Gpt);
    EXPECT_EQ(GuidText(gpt.guid), "{8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a}");
    EXPECT_EQ(HexText(GptIdentity(guid)), "444D494F3A49443AAA770A8F1E5C0E4F9D6A1F2E3D4C5B6A");

    for (std::u16string_view path : {std::u16string_view(u"\\??\\USBSTOR#Disk&Ven_\u00C4\u4E2D#0"),
                                     std::u16string_view(u"_??_USBSTOR#Disk")}) {
        std::vector<std::uint8_t> bytes = Utf16Le(path);
        bytes.push_back(0); // a terminator as some drivers store it
        bytes.push_back(0);
        DecodedIdentity device = DecodeIdentity(bytes);
        EXPECT_EQ(device.kind, IdentityKind::Device);
        EXPECT_EQ(device.devicePath, path);
    }
    EXPECT_EQ(Utf16ToUtf8(u"\\??\\\u00C4\u4E2D\U0001F600"), "\\??\\\xC3\x84\xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD") << "an unpaired surrogate";

    // Truncated, odd or merely similar data is no partition identity.
    std::vector<std::uint8_t> gptBytes = GptIdentity(guid);
    std::vector<std::uint8_t> odd = Utf16Le(u"\\??\\USB");
    odd.push_back('x');
    for (const std::vector<std::uint8_t>& data :
         {std::vector<std::uint8_t>(11, 1), std::vector<std::uint8_t>(13, 1),
          std::vector<std::uint8_t>(gptBytes.begin(), gptBytes.end() - 1), odd, std::vector<std::uint8_t>{},
          std::vector<std::uint8_t>{'\\', 0, '?', 0}}) {
        EXPECT_EQ(DecodeIdentity(data).kind, IdentityKind::Other) << HexText(data);
    }
    gptBytes[0] = 'd';
    EXPECT_EQ(DecodeIdentity(gptBytes).kind, IdentityKind::Other) << "the prefix is case-sensitive";
}

TEST(Identity, OffsetsNameTheLargestUnitThatDividesThemEvenly)
{
    EXPECT_EQ(WholeBinaryUnit(0), "");
    EXPECT_EQ(WholeBinaryUnit(512), "");
    EXPECT_EQ(WholeBinaryUnit(32256), "") << "63 sectors";
    EXPECT_EQ(WholeBinaryUnit(1024), "1 KiB");
    EXPECT_EQ(WholeBinaryUnit(1048575), "");
    EXPECT_EQ(WholeBinaryUnit(1048576), "1 MiB");
    EXPECT_EQ(WholeBinaryUnit(1048576 + 1024), "1025 KiB");
    EXPECT_EQ(WholeBinaryUnit(100ull << 30), "100 GiB");
    EXPECT_EQ(WholeBinaryUnit(1ull << 63), "8 EiB");
    std::vector<std::uint8_t> bytes;
    EXPECT_FALSE(ParseHex("ABC", &bytes));
    EXPECT_FALSE(ParseHex("0G", &bytes));
    ASSERT_TRUE(ParseHex("00abFF", &bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x00, 0xAB, 0xFF}));
    std::array<std::uint8_t, 16> guid;
    EXPECT_FALSE(ParseGuid("8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6", &guid));
    EXPECT_FALSE(ParseGuid("8f0a77aa_5c1e-4f0e-9d6a-1f2e3d4c5b6a", &guid));
}

} // namespace
