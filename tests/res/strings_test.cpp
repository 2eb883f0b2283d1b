#include "tools/string_table.h"
#include "win32/text.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <vector>

namespace fs = std::filesystem;
using strtab::Table;
using win32::to_utf8;

namespace {

// Which base numbers a language's table translates; every other one holds "#".
enum class Coverage {
    all,          // the base table, 1131 included
    all_but_1131, // English and the languages with installer texts
    buttons,      // 1001 to 1006, 1008, 1009
    hebrew,       // 1001 to 1004, 1008, 1009
    none,
};

struct Language {
    const char* file;
    std::uint16_t langid;
    std::uint32_t offset;
    Coverage coverage;
};

constexpr Language kLanguages[] = {
    {"french", 0x040C, 0, Coverage::all},
    {"english", 0x0409, 1000, Coverage::all_but_1131},
    {"german", 0x0407, 2000, Coverage::all_but_1131},
    {"spanish", 0x0C0A, 3000, Coverage::all_but_1131},
    {"portuguese", 0x0816, 4000, Coverage::all_but_1131},
    {"italian", 0x0410, 5000, Coverage::all_but_1131},
    {"dutch", 0x0413, 6000, Coverage::buttons},
    {"danish", 0x0406, 7000, Coverage::buttons},
    {"turkish", 0x041F, 8000, Coverage::all_but_1131},
    {"chinese", 0x0804, 9000, Coverage::none},
    {"bulgarian", 0x0402, 10000, Coverage::none},
    {"romanian", 0x0418, 11000, Coverage::all_but_1131},
    {"czech", 0x0405, 12000, Coverage::buttons},
    {"norwegian", 0x0414, 13000, Coverage::buttons},
    {"greek", 0x0408, 14000, Coverage::none},
    {"polish", 0x0415, 15000, Coverage::none},
    {"hebrew", 0x040D, 16000, Coverage::hebrew},
};

// The installer's texts; the numbers between them are unused.
std::set<std::uint32_t> all_bases() {
    std::set<std::uint32_t> bases;
    for (std::uint32_t b = 1000; b <= 1018; ++b)
        bases.insert(b);
    for (std::uint32_t b = 1100; b <= 1127; ++b)
        if (b != 1109 && b != 1116)
            bases.insert(b);
    bases.insert({1129, 1131});
    return bases;
}

bool translated(Coverage c, std::uint32_t base) {
    switch (c) {
    case Coverage::all:
        return true;
    case Coverage::all_but_1131:
        return base != 1131;
    case Coverage::buttons:
        return (base >= 1001 && base <= 1006) || base == 1008 || base == 1009;
    case Coverage::hebrew:
        return (base >= 1001 && base <= 1004) || base == 1008 || base == 1009;
    case Coverage::none:
        return false;
    }
    return false;
}

Table load(const char* name) {
    Table table;
    std::string error;
    std::string path = std::string(DV_STRINGS_DIR) + "/" + name + ".txt";
    EXPECT_TRUE(strtab::load_file(path, table, error)) << error;
    return table;
}

// The inserts a text gives to the message formatting, sorted; nullopt when a '%' would be read
// as something else than an insert or "%%" (a stray "50%", "%0" that ends the output, or "%1!"
// that starts a printf format).
std::optional<std::vector<int>> inserts(const std::wstring& text) {
    std::vector<int> found;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%')
            continue;
        if (i + 1 < text.size() && text[i + 1] == L'%') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || text[i + 1] < L'1' || text[i + 1] > L'9')
            return std::nullopt;
        int n = text[++i] - L'0';
        if (i + 1 < text.size() && text[i + 1] >= L'0' && text[i + 1] <= L'9')
            n = n * 10 + (text[++i] - L'0');
        if (i + 1 < text.size() && text[i + 1] == L'!')
            return std::nullopt;
        found.push_back(n);
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::size_t count(const std::wstring& text, std::wstring_view what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::wstring::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

TEST(StringTables, FolderHoldsOneTablePerLanguage) {
    std::set<std::string> expected;
    for (const auto& l : kLanguages)
        expected.insert(std::string(l.file) + ".txt");
    std::set<std::string> present;
    for (const auto& e : fs::directory_iterator(DV_STRINGS_DIR))
        if (e.path().extension() == ".txt")
            present.insert(e.path().filename().string());
    EXPECT_EQ(present, expected);
}

TEST(StringTables, HeadersAndEveryBaseNumberOnce) {
    const auto bases = all_bases();
    for (const auto& l : kLanguages) {
        SCOPED_TRACE(l.file);
        Table t = load(l.file);
        EXPECT_EQ(t.langid, l.langid);
        EXPECT_EQ(t.offset, l.offset);
        std::set<std::uint32_t> ids;
        for (const auto& [base, text] : t.texts)
            ids.insert(base);
        EXPECT_EQ(ids, bases); // a repeated base number is already refused by the parser
    }
}

TEST(StringTables, TranslatedExactlyWhereExpected) {
    for (const auto& l : kLanguages) {
        Table t = load(l.file);
        for (const auto& [base, text] : t.texts)
            EXPECT_EQ(text != L"#", translated(l.coverage, base))
                << l.file << " " << base << ": " << to_utf8(text);
    }
    EXPECT_EQ(load("french").texts[1131], L"Mise à jour de DirectX...");
    EXPECT_EQ(load("french").texts[1000], L"Installeur");
}

TEST(StringTables, EnglishLayoutSensitiveTexts) {
    Table en = load("english");
    EXPECT_EQ(en.texts[1110],
              L"Installation is not complete.\r\n\r\nDo you still confirm exit Installation ?");
    EXPECT_EQ(en.texts[1115], L"Copying File  %1...");
    EXPECT_EQ(en.texts[1129], L"'%1' will be installed in the selected Langage, but the "
                              L"Installer, still under translation,  shall run in English.");
}

// Every translation must format like the English text: same inserts, same line breaks, the same
// doubled blanks, no blank at either end unless the English has one, no accelerator marks.
TEST(StringTables, TranslationsKeepInsertsBreaksAndBlanks) {
    Table en = load("english");
    for (const auto& l : kLanguages) {
        Table t = load(l.file);
        for (const auto& [base, text] : t.texts) {
            const std::wstring& ref = en.texts[base];
            if (text == L"#" || ref == L"#")
                continue;
            SCOPED_TRACE(std::string(l.file) + " " + std::to_string(base) + ": " + to_utf8(text));
            auto got = inserts(text);
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, *inserts(ref));
            EXPECT_EQ(count(text, L"\r\n"), count(ref, L"\r\n"));
            EXPECT_EQ(count(text, L"\r"), count(text, L"\r\n")) << "lone CR";
            EXPECT_EQ(count(text, L"\n"), count(text, L"\r\n")) << "lone LF";
            EXPECT_EQ(count(text, L"\t"), 0u);
            EXPECT_EQ(count(text, L"  "), count(ref, L"  "));
            EXPECT_EQ(count(text, L"   "), 0u);
            EXPECT_EQ(text.front() == L' ', ref.front() == L' ');
            EXPECT_EQ(text.back() == L' ', ref.back() == L' ');
            EXPECT_EQ(count(text, L"&"), 0u);
        }
        if (translated(l.coverage, 1110)) {
            EXPECT_EQ(count(t.texts[1110], L".\r\n\r\n"), 1u) << l.file;
        }
        if (translated(l.coverage, 1115)) {
            EXPECT_EQ(count(t.texts[1115], L"  %1..."), 1u) << l.file;
        }
        if (translated(l.coverage, 1129)) {
            // The doubled blank sits inside the sentence, between two words.
            const std::wstring& s = t.texts[1129];
            auto pos = s.find(L"  ");
            ASSERT_NE(pos, std::wstring::npos) << l.file;
            EXPECT_NE(s[pos - 1], L' ');
            EXPECT_NE(s[pos + 2], L' ');
            EXPECT_LT(pos + 2, s.size() - 1);
        }
    }
}

TEST(StringTableParser, KeepsTextsExactlyAndResolvesEscapes) {
    const std::string source =
        "\xEF\xBB\xBF; comment\n"
        "\n"
        "@offset 2000\n"
        "  \t \n"
        "@langid 0x0c0A\n"
        "1000\t  two blanks before, one after \n"
        "1001\ta\\r\\nb\\tc\\\\d\\\\r\n"
        "1002\t#\n"
        "1003\tinner\ttab; not a comment\n"
        "1131\tfin sans saut de ligne \xC3\xA0 \xE2\x80\x93 \xF0\x9F\x98\x80";
    Table t;
    std::string error;
    ASSERT_TRUE(strtab::parse(source, t, error)) << error;
    EXPECT_EQ(t.langid, 0x0C0A);
    EXPECT_EQ(t.offset, 2000u);
    ASSERT_EQ(t.texts.size(), 5u);
    EXPECT_EQ(t.texts[1000], L"  two blanks before, one after ");
    EXPECT_EQ(t.texts[1001], L"a\r\nb\tc\\d\\r");
    EXPECT_EQ(t.texts[1002], L"#");
    EXPECT_EQ(t.texts[1003], L"inner\ttab; not a comment");
    EXPECT_EQ(t.texts[1131], L"fin sans saut de ligne \u00E0 \u2013 \U0001F600");
}

TEST(StringTableParser, RefusesMalformedSourcesWithTheLine) {
    const std::string head = "@langid 0x0407\n@offset 2000\n";
    struct Case {
        std::string source;
        int line;
    } cases[] = {
        {head + "1000\tcrlf file\r\n", 3},
        {head + "1000\tok\n1001\t\xC0\xAF overlong\n", 4},
        {head + "1000\t\xE2\x82 cut short\n", 3},
        {head + "1000\t\xED\xA0\x80 surrogate\n", 3},
        {head + "1000\t\xF4\x90\x80\x80 past U+10FFFF\n", 3},
        {head + "1000\tend \xE2\x82", 3},
        {head + "1000\ta\n1000\tb\n", 4},
        {head + "999\tlow\n", 3},
        {head + "1132\thigh\n", 3},
        {head + "+1000\tsigned\n", 3},
        {head + "1000 no tab\n", 3},
        {head + "1000\t\n", 3},
        {head + "1000\tbad \\x escape\n", 3},
        {head + "1000\ttrailing \\", 3},
        {head + "@language 7\n", 3},
        {head + "@langid 0x0409\n", 3},
        {"@offset 0\n1000\tx\n", 3},
        {"@langid 0x0407\n", 2},
        {"@langid 1031\n@offset 2000\n", 1},
        {"@langid 0x\n@offset 2000\n", 1},
        {"@langid 0x10000\n@offset 2000\n", 1},
        {"@langid 0x0000\n@offset 2000\n", 1},
        {"@langid 0x0407\n@offset 64405\n", 2},
        {"@langid 0x0407\n@offset -1\n", 2},
    };
    for (const auto& c : cases) {
        Table t;
        std::string error;
        EXPECT_FALSE(strtab::parse(c.source, t, error)) << c.source;
        EXPECT_TRUE(error.starts_with("line " + std::to_string(c.line) + ": "))
            << c.source << " -> " << error;
    }
    // The highest offset that still fits the 16-bit string ids is taken.
    Table t;
    std::string error;
    EXPECT_TRUE(strtab::parse("@langid 0x0407\n@offset 64404\n1131\tx\n", t, error)) << error;
}

TEST(StringTableParser, MissingFileNamesThePath) {
    Table t;
    std::string error;
    EXPECT_FALSE(strtab::load_file("/nonexistent/klingon.txt", t, error));
    EXPECT_NE(error.find("/nonexistent/klingon.txt"), std::string::npos);
}

} // namespace
