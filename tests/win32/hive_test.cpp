#include "win32/hive.h"
#include "win32/registry.h"
#include "win32/text.h"

#include <gtest/gtest.h>

using namespace win32;
using win32::hive::Key;

namespace {

std::string file_of(std::wstring_view text) {
    std::string bytes("\xFF\xFE", 2);
    append_utf16le(bytes, text);
    return bytes;
}

std::string utf16z(std::wstring_view text) {
    std::string bytes;
    append_utf16le(bytes, text);
    bytes.append(2, '\0');
    return bytes;
}

void expect_same(const Key& a, const Key& b) {
    EXPECT_EQ(a.name(), b.name());
    ASSERT_EQ(a.values().size(), b.values().size()) << to_utf8(a.name());
    for (std::size_t i = 0; i < a.values().size(); ++i) {
        EXPECT_EQ(a.values()[i].name, b.values()[i].name);
        EXPECT_EQ(a.values()[i].type, b.values()[i].type) << to_utf8(a.values()[i].name);
        EXPECT_EQ(a.values()[i].data, b.values()[i].data) << to_utf8(a.values()[i].name);
    }
    ASSERT_EQ(a.subkeys().size(), b.subkeys().size());
    for (auto ia = a.subkeys().begin(), ib = b.subkeys().begin(); ia != a.subkeys().end();
         ++ia, ++ib)
        expect_same(*ia->second, *ib->second);
}

TEST(Hive, ValuesOfEveryFormSurviveTheTextForm) {
    Key root(L"HKEY_LOCAL_MACHINE");
    Key& k = root.add(L"SOFTWARE").add(L"Caf\u00e9 ]x[ \U0001F600");
    std::string lone_surrogate = utf16z(L"a");
    lone_surrogate.insert(2, "\x00\xD8", 2); // an unpaired high surrogate after "a"
    const std::pair<const wchar_t*, hive::Value> values[] = {
        {L"quoted", {L"Name \"q\" C:\\", REG_SZ, utf16z(L"C:\\Dir \"x\" \u00e9\U0001F600")}},
        {L"default", {L"", REG_SZ, utf16z(L"d")}},
        {L"empty string", {L"e", REG_SZ, utf16z(L"")}},
        {L"no terminator", {L"nt", REG_SZ, std::string("a\0b\0", 4)}},
        {L"line break", {L"lb", REG_SZ, utf16z(L"a\r\nb")}},
        {L"odd size", {L"odd", REG_SZ, std::string("a\0b", 3)}},
        {L"zero bytes", {L"zero", REG_SZ, ""}},
        {L"lone surrogate", {L"ls", REG_SZ, lone_surrogate}},
        {L"dword", {L"dw", REG_DWORD, std::string("\xF6\xFF\xFF\xFF", 4)}},
        {L"short dword", {L"sdw", REG_DWORD, std::string("\x01\x02\x03", 3)}},
        {L"qword", {L"qw", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)}},
        {L"expand", {L"ex", REG_EXPAND_SZ, utf16z(L"%ProgramFiles%\\x")}},
        {L"multi", {L"ms", REG_MULTI_SZ, utf16z(std::wstring(L"one\0two\0", 8))}},
        {L"none", {L"none", REG_NONE, ""}},
        {L"custom type", {L"ct", 0x12345, "\x7F"}},
        {L"long binary", {L"bin", REG_BINARY, std::string(300, '\xAB')}},
    };
    for (const auto& [what, v] : values)
        k.set_value(v);
    k.add(L"Empty Sub");

    std::string text = hive::serialize(root, L"HKEY_LOCAL_MACHINE");
    ASSERT_TRUE(text.starts_with("\xFF\xFE"
                                 "W\0i\0n\0"));
    std::wstring wide = from_utf16le(text.data() + 2, text.size() - 2);
    EXPECT_TRUE(wide.starts_with(L"Windows Registry Editor Version 5.00\r\n"));
    EXPECT_NE(wide.find(L"\"Name \\\"q\\\" C:\\\\\"=\"C:\\\\Dir \\\"x\\\""), std::wstring::npos);
    EXPECT_NE(wide.find(L"\"dw\"=dword:fffffff6\r\n"), std::wstring::npos);
    EXPECT_NE(wide.find(L"\"nt\"=hex(1):61,00,62,00\r\n"), std::wstring::npos);
    for (std::size_t pos = 0, nl; (nl = wide.find(L"\r\n", pos)) != std::wstring::npos;
         pos = nl + 2)
        EXPECT_LE(nl - pos, 80u) << "line too long at " << pos;

    hive::Document doc;
    hive::ParseError err;
    ASSERT_TRUE(hive::parse(text, "t.reg", doc, err)) << err.text();
    ASSERT_NE(doc.top.find(L"HKEY_LOCAL_MACHINE"), nullptr);
    expect_same(root, *doc.top.find(L"HKEY_LOCAL_MACHINE"));
    EXPECT_EQ(doc.first_section, std::vector<std::wstring>{L"HKEY_LOCAL_MACHINE"});
    EXPECT_TRUE(doc.all_under_first);
}

TEST(Hive, MalformedFilesAreRefusedWithTheirLine) {
    const std::wstring head = L"Windows Registry Editor Version 5.00\r\n\r\n";
    std::wstring deep = head + L"[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 513; ++i)
        deep += L"\\k";
    deep += L"]\r\n";
    struct Case {
        std::string bytes;
        std::size_t line;
    };
    const Case cases[] = {
        {std::string("Windows Registry Editor Version 5.00\r\n"), 1}, // no byte-order mark
        {file_of(head) + "x", 1},                                     // odd length
        {file_of(L"REGEDIT4\r\n[HKEY_USERS]\r\n"), 1},
        {file_of(head + L"\"a\"=\"b\"\r\n"), 3},
        {file_of(head + L"[HKEY_NOWHERE\\x]\r\n"), 3},
        {file_of(head + L"[HKEY_USERS\\a\\\\b]\r\n"), 3},
        {file_of(head + L"[HKEY_USERS\\a\r\n"), 3},
        {file_of(head + L"[-HKEY_USERS\\a]\r\n"), 3},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=-\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=\"x\\y\"\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=\"open\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=\"b\" x\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=dword:123456789\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=hex:01,0g\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=hex:01,\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=hex(zz):01\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"a\"=hex:01,\\\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\n\"\"=\"x\"\r\n"), 4},
        {file_of(head + L"[HKEY_USERS]\r\nnonsense\r\n"), 4},
        {file_of(head), 3},
        {file_of(deep), 3},
    };
    for (const auto& c : cases) {
        hive::Document doc;
        hive::ParseError err;
        EXPECT_FALSE(hive::parse(c.bytes, "bad.reg", doc, err)) << c.line;
        EXPECT_EQ(err.line, c.line) << err.text();
        EXPECT_TRUE(err.text().starts_with("bad.reg:" + std::to_string(c.line) + ": "));
    }
}

TEST(Hive, ContinuedHexLinesAndCommentsAreRead) {
    std::wstring text = L"\r\nWindows Registry Editor Version 5.00\r\n; a comment\r\n"
                        L"[HKEY_CURRENT_USER\\A]\r\n\"b\"=hex(7):61,00,00,\\\r\n  00,00,00\r\n"
                        L"[hkey_current_user\\a\\B]\r\n[HKEY_USERS\\Other]\r\n";
    hive::Document doc;
    hive::ParseError err;
    ASSERT_TRUE(hive::parse(file_of(text), "c.reg", doc, err)) << err.text();
    const Key* a = doc.top.find(L"HKEY_CURRENT_USER")->find(L"a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->value(L"B")->data, std::string("a\0\0\0\0\0", 6));
    EXPECT_NE(a->find(L"b"), nullptr);
    EXPECT_FALSE(doc.all_under_first);
}

} // namespace
