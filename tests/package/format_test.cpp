#include "package/archive.h"
#include "package/crc32.h"
#include "package/errors.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using dv::compress_error;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST(Crc32, KnownValuesAndPieces) {
    EXPECT_EQ(dv::crc32("", 0), 0u);
    EXPECT_EQ(dv::crc32("abc", 3), 0x352441C2u);
    EXPECT_EQ(dv::crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(dv::crc32("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);

    std::string data(10007, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::uint32_t whole = dv::crc32(data.data(), data.size());
    // Pieces of every alignment give the same result as one call.
    for (std::size_t piece : {1u, 3u, 7u, 8u, 9u, 4096u}) {
        std::uint32_t crc = 0;
        for (std::size_t at = 0; at < data.size(); at += piece)
            crc = dv::crc32_update(crc, data.data() + at, std::min(piece, data.size() - at));
        EXPECT_EQ(crc, whole) << piece;
    }
}

TEST(CompressCategory, NameMessagesAndCodeTexts) {
    const auto& cat = dv::compress_category();
    EXPECT_STREQ(cat.name(), "compress");
    EXPECT_EQ(&cat, &dv::compress_category());
    const std::pair<int, const char*> messages[] = {
        {3, "invalid checksum"}, {4, "unknown error"}, {5, "interrupted"},  {6, "bzip2 error"},
        {7, "unexpected error"}, {0, "unknown error"}, {8, "unknown error"}};
    for (auto [value, text] : messages)
        EXPECT_EQ(cat.message(value), text) << value;
    std::error_code interrupted = compress_error::interrupted;
    EXPECT_EQ(interrupted.value(), 5);
    EXPECT_EQ(&interrupted.category(), &cat);

    const std::pair<std::error_code, const wchar_t*> texts[] = {
        {dv::system_error_code(5), L"1:00000005"},
        {dv::system_error_code(0x80070020u), L"1:80070020"},
        {std::error_code(13, std::generic_category()), L"2:0000000D"},
        {compress_error::invalid_checksum, L"3"},
        {compress_error::package_check_failed, L"4"},
        {std::make_error_code(std::io_errc::stream), L"7"},
    };
    for (const auto& [code, text] : texts)
        EXPECT_EQ(dv::error_code_text(code), text) << code.message();
}

dv::package_entry worked_entry() {
    dv::package_entry e;
    e.source = L"D:\\pkg\\a.txt";
    e.destination = L"<SamplePath>";
    e.kind = 4;
    e.size = 3;
    e.crc = dv::crc32("abc", 3);
    return e;
}

TEST(ArchiveFormat, WorkedExampleByteForByte) {
    std::string archive = dv::encode_index({worked_entry()}) + "abc";
    ASSERT_EQ(archive.size(), 87u);
    EXPECT_EQ(hex(archive.substr(0, 12)), "540000000000000001000000");
    EXPECT_EQ(hex(archive.substr(12, 12)), "0C00000044003A005C007000");
    EXPECT_EQ(hex(archive.substr(40, 10)), "0C0000003C0053006100");
    EXPECT_EQ(hex(archive.substr(68)), "040000000300000000000000C2412435"
                                       "616263");

    auto entries = dv::decode_index(std::span<const char>(archive.data(), 84));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, L"D:\\pkg\\a.txt");
    EXPECT_EQ(entries[0].destination, L"<SamplePath>");
    EXPECT_EQ(entries[0].kind, 4u);
    EXPECT_EQ(entries[0].size, 3u);
    EXPECT_EQ(entries[0].crc, 0x352441C2u);
    EXPECT_EQ(dv::decode_header_size(archive.data()), 84u);
}

TEST(ArchiveFormat, LengthsCountCodeUnitsAndEmptyArchiveIsTwelveBytes) {
    EXPECT_EQ(dv::encode_index({}), std::string("\x0C\0\0\0\0\0\0\0\0\0\0\0", 12));
    dv::package_entry e;
    e.source = L"f";
    e.destination = L"<Temporary>\\x"; // 13 characters
    e.destination += L'\U0001F600';    // one character, two code units
    std::string index = dv::encode_index({e});
    EXPECT_EQ(index.size(), 12u + 24u + 2u * (1u + 15u));
    EXPECT_EQ(static_cast<unsigned char>(index[12 + 4 + 2]), 15u);
    EXPECT_EQ(dv::decode_index(index)[0].destination, e.destination);
}

TEST(ArchiveFormat, IndexThatDisagreesWithHeaderSizeIsRefused) {
    std::string good = dv::encode_index({worked_entry()});
    std::string huge_string = good;
    huge_string[12] = '\xFF';
    huge_string[15] = '\x7F';
    std::string too_many = good;
    too_many[8] = 2;
    for (const std::string& bad : {good.substr(0, 83), good + "x", huge_string, too_many}) {
        try {
            dv::decode_index(bad);
            ADD_FAILURE() << "accepted " << hex(bad);
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), std::error_code(compress_error::unexpected_error));
        }
    }
}

TEST(ArchiveFormat, KindNamesAndNumbers) {
    const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {{"language_library", 0},
                                                                          {"main_program", 1},
                                                                          {"uninstaller", 2},
                                                                          {"shared_data", 3},
                                                                          {"sample", 4},
                                                                          {"redistributable", 5},
                                                                          {"9", 9},
                                                                          {"", std::nullopt},
                                                                          {"-1", std::nullopt},
                                                                          {"Sample", std::nullopt},
                                                                          {"4x", std::nullopt}};
    for (auto [text, kind] : cases)
        EXPECT_EQ(dv::parse_entry_kind(text), kind) << text;
    EXPECT_EQ(dv::entry_kind_name(3), "shared_data");
    EXPECT_EQ(dv::entry_kind_name(17), "17");
    EXPECT_EQ(dv::file_name_of(L"D:\\pkg/sub\\a.txt"), L"a.txt");
}

} // namespace
