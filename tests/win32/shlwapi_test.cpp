#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/shlwapi.h"
#include "win32/text.h"

#include <cwchar>
#include <gtest/gtest.h>
#include <string>

using namespace win32;

namespace {

// A MAX_PATH buffer holding `s`, with a guard after it that must stay untouched.
struct Buf {
    explicit Buf(std::wstring_view s = L"") {
        std::wmemset(data, L'#', MAX_PATH + 8);
        s.copy(data, s.size());
        data[s.size()] = 0;
    }
    wchar_t data[MAX_PATH + 8];
    std::string str() const { return to_utf8(data); }
    bool guard_intact() const {
        for (std::size_t i = MAX_PATH; i < MAX_PATH + 8; ++i)
            if (data[i] != L'#')
                return false;
        return true;
    }
};

std::wstring of(std::size_t n, wchar_t c = L'a') {
    return std::wstring(n, c);
}

TEST(PathStrings, AppendAndCombine) {
    struct Case {
        std::wstring path, more, result;
        BOOL ok;
    };
    // "C:\" + 246 letters: 249 characters.
    std::wstring base = L"C:\\" + of(246);
    const Case cases[] = {
        {L"C:\\dir", L"file.txt", L"C:\\dir\\file.txt", TRUE},
        {L"C:\\dir\\", L"file.txt", L"C:\\dir\\file.txt", TRUE},
        {L"C:\\", L"x", L"C:\\x", TRUE},
        {L"C:", L"x", L"C:\\x", TRUE},
        {L"C:\\dir", L"\\x", L"C:\\dir\\x", TRUE}, // a leading backslash is dropped
        {L"C:\\dir", L"..\\x", L"C:\\x", TRUE},
        {L"C:\\dir", L"D:\\x", L"D:\\x", TRUE},
        {L"C:\\dir", L"", L"C:\\dir", TRUE},
        {L"dir", L"x", L"dir\\x", TRUE},
        {L"", L"x", L"x", TRUE},
        {L"C:\\a\\.\\b", L"c", L"C:\\a\\b\\c", TRUE},
        {base, of(9, L'b'), base + L"\\" + of(9, L'b'), TRUE}, // 259 characters
        {base, of(10, L'b'), base, FALSE},                     // 260: unchanged
    };
    for (const auto& c : cases) {
        Buf b(c.path);
        EXPECT_EQ(PathAppendW(b.data, c.more.c_str()), c.ok) << to_utf8(c.path + L" + " + c.more);
        EXPECT_EQ(b.str(), to_utf8(c.result)) << to_utf8(c.path + L" + " + c.more);
        EXPECT_TRUE(b.guard_intact());
    }

    struct CombineCase {
        const wchar_t* dir;
        const wchar_t* file;
        const wchar_t* result; // null: fails
    };
    const CombineCase combines[] = {
        {L"C:\\dir", L"file", L"C:\\dir\\file"},
        {L"C:\\dir\\sub", L"\\file", L"C:\\file"}, // below the root of the folder
        {L"C:\\dir", L"D:\\file", L"D:\\file"},
        {L"C:\\dir", L"", L"C:\\dir"},
        {L"", L"file", L"file"},
        {L"C:\\a\\b", L"..\\..\\..\\c", L"C:\\c"},
        {nullptr, L"C:\\x\\.\\y", L"C:\\x\\y"},
        {L"C:\\dir", nullptr, L"C:\\dir"},
        {nullptr, nullptr, nullptr},
    };
    for (const auto& c : combines) {
        Buf b(L"junk");
        LPWSTR r = PathCombineW(b.data, c.dir, c.file);
        if (c.result) {
            EXPECT_EQ(r, b.data);
            EXPECT_EQ(b.str(), to_utf8(c.result));
        } else {
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(b.str(), "");
        }
    }
    Buf b(L"junk");
    EXPECT_EQ(PathCombineW(b.data, base.c_str(), of(10).c_str()), nullptr);
    EXPECT_EQ(b.str(), "");
    // The destination may be one of the sources.
    Buf same(L"C:\\dir");
    EXPECT_EQ(PathCombineW(same.data, same.data, L"f"), same.data);
    EXPECT_EQ(same.str(), "C:\\dir\\f");
}

TEST(PathStrings, RemoveFileSpecAndStripToRoot) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
        BOOL ok;
    };
    const Case cases[] = {
        {L"C:\\dir\\file.txt", L"C:\\dir", TRUE},
        {L"C:\\dir\\", L"C:\\dir", TRUE},
        {L"C:\\file", L"C:\\", TRUE},
        {L"C:\\", L"C:\\", FALSE},
        {L"C:", L"C:", FALSE},
        {L"C:file", L"C:", TRUE},
        {L"file", L"", TRUE},
        {L"\\file", L"\\", TRUE},
        {L"\\", L"\\", FALSE},
        {L"", L"", FALSE},
        {L"\\\\server\\share", L"\\\\server", TRUE},
    };
    for (const auto& c : cases) {
        Buf b(c.in);
        EXPECT_EQ(PathRemoveFileSpecW(b.data), c.ok) << to_utf8(c.in);
        EXPECT_EQ(b.str(), to_utf8(c.out)) << to_utf8(c.in);
    }
    const Case roots[] = {
        {L"C:\\a\\b\\c.txt", L"C:\\", TRUE},
        {L"C:\\", L"C:\\", TRUE},
        {L"\\a\\b", L"\\", TRUE},
        {L"\\\\server\\share\\dir\\f", L"\\\\server\\share", TRUE},
        {L"a\\b", L"", FALSE},
        {L"C:", L"C:", FALSE},
    };
    for (const auto& c : roots) {
        Buf b(c.in);
        EXPECT_EQ(PathStripToRootW(b.data), c.ok) << to_utf8(c.in);
        EXPECT_EQ(b.str(), to_utf8(c.out)) << to_utf8(c.in);
    }
}

TEST(PathStrings, FindFileNameAndExtension) {
    struct Case {
        const wchar_t* in;
        const wchar_t* name;
        const wchar_t* extension;
    };
    const Case cases[] = {
        {L"C:\\dir\\file.txt", L"file.txt", L".txt"},
        {L"C:\\dir\\", L"dir\\", L""},
        {L"C:\\", L"C:\\", L""},
        {L"C:file.x", L"file.x", L".x"},
        {L"C:\\a.b\\file", L"file", L""},
        {L"archive.tar.gz", L"archive.tar.gz", L".gz"},
        {L"name. txt", L"name. txt", L""}, // a blank after the dot: no extension
        {L".hidden", L".hidden", L".hidden"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(PathFindFileNameW(c.in), c.name) << to_utf8(c.in);
        LPWSTR ext = PathFindExtensionW(c.in);
        EXPECT_STREQ(ext, c.extension) << to_utf8(c.in);
        EXPECT_TRUE(ext >= c.in && ext <= c.in + std::wcslen(c.in)); // a pointer into the input
    }
    EXPECT_EQ(PathFindExtensionW(nullptr), nullptr);
}

TEST(PathStrings, Backslashes) {
    struct Case {
        std::wstring in, out;
        bool ok;
    };
    const Case adds[] = {
        {L"C:\\dir", L"C:\\dir\\", true},
        {L"C:\\dir\\", L"C:\\dir\\", true},
        {L"C:", L"C:\\", true},
        {L"", L"", true},
        {of(258), of(258) + L"\\", true}, // 259 characters fit
        {of(259), of(259), false},        // no room left for the backslash
        {of(258) + L"\\", of(258) + L"\\", true},
    };
    for (const auto& c : adds) {
        Buf b(c.in);
        LPWSTR end = PathAddBackslashW(b.data);
        EXPECT_EQ(end != nullptr, c.ok) << c.in.size();
        EXPECT_EQ(b.str(), to_utf8(c.out)) << c.in.size();
        if (end) {
            EXPECT_EQ(end, b.data + c.out.size());
        }
        EXPECT_TRUE(b.guard_intact());
    }
    struct RemoveCase {
        const wchar_t* in;
        const wchar_t* out;
        std::size_t returned; // index of the returned pointer
    };
    const RemoveCase removes[] = {
        {L"C:\\dir\\", L"C:\\dir", 6}, {L"C:\\dir", L"C:\\dir", 5},
        {L"C:\\", L"C:\\", 2},         {L"\\", L"\\", 0},
        {L"dir\\\\", L"dir\\", 4},     {L"", L"", 0},
    };
    for (const auto& c : removes) {
        Buf b(c.in);
        EXPECT_EQ(PathRemoveBackslashW(b.data), b.data + c.returned) << to_utf8(c.in);
        EXPECT_EQ(b.str(), to_utf8(c.out)) << to_utf8(c.in);
    }
}

TEST(PathStrings, QuoteSpacesAndRelative) {
    struct Case {
        std::wstring in, out;
        BOOL ok;
    };
    std::wstring spaced257 = L"C:\\a b" + of(251);
    const Case quotes[] = {
        {L"C:\\Program Files\\x.exe", L"\"C:\\Program Files\\x.exe\"", TRUE},
        {L"C:\\x.exe", L"C:\\x.exe", FALSE},
        {spaced257, L"\"" + spaced257 + L"\"", TRUE}, // 259 with the quotes
        {spaced257 + L"a", spaced257 + L"a", FALSE},
    };
    for (const auto& c : quotes) {
        Buf b(c.in);
        EXPECT_EQ(PathQuoteSpacesW(b.data), c.ok) << c.in.size();
        EXPECT_EQ(b.str(), to_utf8(c.out));
        EXPECT_TRUE(b.guard_intact());
    }
    struct RelCase {
        const wchar_t* in;
        BOOL relative;
    };
    const RelCase rel[] = {
        {L"", TRUE},    {L"file", TRUE}, {L"..\\x", TRUE},  {L"/x", TRUE},         {L"\\x", FALSE},
        {L"C:", FALSE}, {L"C:x", FALSE}, {L"C:\\x", FALSE}, {L"\\\\s\\sh", FALSE},
    };
    for (const auto& c : rel)
        EXPECT_EQ(PathIsRelativeW(c.in), c.relative) << to_utf8(c.in);
}

TEST(PathStrings, Canonicalize) {
    struct Case {
        std::wstring in, out;
        BOOL ok;
    };
    const Case cases[] = {
        {L"A:\\name_1\\.\\name_2\\..\\name_3", L"A:\\name_1\\name_3", TRUE},
        {L"A:\\name_1\\..\\name_2\\.\\name_3", L"A:\\name_2\\name_3", TRUE},
        {L"A:\\name_1\\name_2\\.\\name_3\\..\\name_4", L"A:\\name_1\\name_2\\name_4", TRUE},
        {L"A:\\name_1\\.\\name_2\\.\\name_3\\..\\name_4\\..", L"A:\\name_1\\name_2", TRUE},
        {L"C:\\..", L"C:\\", TRUE},
        {L"C:\\a\\..\\..\\b", L"C:\\b", TRUE},
        {L"C:\\a\\", L"C:\\a\\", TRUE},
        {L"C:", L"C:\\", TRUE},
        {L"", L"\\", TRUE},
        {L"a\\..\\b", L"b", TRUE},
        {L"\\\\server\\share\\..\\x", L"\\\\server\\share\\x", TRUE},
        {L"C:\\" + of(256), L"C:\\" + of(256), TRUE}, // 259 characters
        {L"C:\\" + of(257), L"", FALSE},
    };
    for (const auto& c : cases) {
        Buf b(L"junk");
        EXPECT_EQ(PathCanonicalizeW(b.data, c.in.c_str()), c.ok) << to_utf8(c.in);
        EXPECT_EQ(b.str(), to_utf8(c.out)) << to_utf8(c.in);
    }
}

TEST(PathStrings, CommonPrefixAndRelativePath) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        const wchar_t* common;
    };
    const Case cases[] = {
        {L"C:\\win\\desktop\\temp.txt", L"c:\\win\\tray\\sample.txt", L"C:\\win"},
        {L"C:\\a", L"C:\\b", L"C:\\"},
        {L"C:\\a", L"C:\\ab", L"C:\\"},
        {L"C:\\a\\b", L"C:\\A\\B", L"C:\\a\\b"},
        {L"C:\\a", L"D:\\a", L""},
        {L"\\\\s\\sh\\a", L"\\\\s\\sh\\b", L"\\\\s\\sh"},
        {L"\\\\s\\x", L"C:\\x", L""},
    };
    for (const auto& c : cases) {
        Buf b;
        int n = PathCommonPrefixW(c.a, c.b, b.data);
        EXPECT_EQ(b.str(), to_utf8(c.common)) << to_utf8(c.a) << " / " << to_utf8(c.b);
        EXPECT_EQ(n, static_cast<int>(std::wcslen(c.common)));
    }

    struct RelCase {
        const wchar_t* from;
        DWORD from_attr;
        const wchar_t* to;
        DWORD to_attr;
        const wchar_t* result; // null: no relative path
    };
    constexpr DWORD D = FILE_ATTRIBUTE_DIRECTORY, F = FILE_ATTRIBUTE_NORMAL;
    const RelCase rels[] = {
        {L"C:\\FolderA\\FolderB\\FolderC", D, L"C:\\FolderA\\FolderD\\FolderE", D,
         L"..\\..\\FolderD\\FolderE"},
        {L"C:\\a\\b", D, L"C:\\a\\b\\c", D, L".\\c"},
        {L"C:\\a\\b\\c", D, L"C:\\a\\b", D, L".."},
        {L"C:\\a\\f.txt", F, L"C:\\a\\g.txt", F, L".\\g.txt"},
        {L"C:\\a", D, L"C:\\b\\f.txt", F, L"..\\b\\f.txt"},
        {L"C:\\a", D, L"D:\\a", D, nullptr},
    };
    for (const auto& c : rels) {
        Buf b(L"junk");
        EXPECT_EQ(PathRelativePathToW(b.data, c.from, c.from_attr, c.to, c.to_attr),
                  c.result != nullptr)
            << to_utf8(c.from) << " -> " << to_utf8(c.to);
        EXPECT_EQ(b.str(), to_utf8(c.result ? c.result : L""))
            << to_utf8(c.from) << " -> " << to_utf8(c.to);
    }
}

TEST(PathStrings, CharTypes) {
    struct Case {
        wchar_t c;
        UINT type;
    };
    const Case cases[] = {
        {L'a', GCT_LFNCHAR | GCT_SHORTCHAR},
        {L'Z', GCT_LFNCHAR | GCT_SHORTCHAR},
        {L'7', GCT_LFNCHAR | GCT_SHORTCHAR},
        {L'~', GCT_LFNCHAR | GCT_SHORTCHAR},
        {L'.', GCT_LFNCHAR | GCT_SHORTCHAR},
        {0x00E9, GCT_LFNCHAR | GCT_SHORTCHAR},
        {L' ', GCT_LFNCHAR},
        {L'+', GCT_LFNCHAR},
        {L';', GCT_LFNCHAR},
        {L'[', GCT_LFNCHAR},
        {L'*', GCT_WILD},
        {L'?', GCT_WILD},
        {L'\\', GCT_SEPARATOR},
        {L':', GCT_SEPARATOR},
        {L'|', GCT_INVALID},
        {L'"', GCT_INVALID},
        {L'<', GCT_INVALID},
        {0x01, GCT_INVALID},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PathGetCharTypeW(c.c), c.type) << static_cast<unsigned>(c.c);
}

using PathMachine = dvtest::MachineTest;

TEST_F(PathMachine, ExistenceAndQualifying) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Data", nullptr));
    HANDLE h = CreateFileW(L"C:\\Windows\\System32\\tool.exe", GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(PathFileExistsW(L"c:\\data"));
    EXPECT_TRUE(PathFileExistsW(L"C:\\Windows\\System32\\TOOL.EXE"));
    EXPECT_FALSE(PathFileExistsW(L"C:\\nothing"));
    EXPECT_FALSE(PathFileExistsW(nullptr));
    EXPECT_EQ(PathIsDirectoryW(L"C:\\DATA\\"), static_cast<BOOL>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(PathIsDirectoryW(L"C:\\Windows\\System32\\tool.exe"));
    EXPECT_FALSE(PathIsDirectoryW(L"C:\\nothing"));

    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\Data"));
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    };
    const Case cases[] = {
        {L"tool.exe", L"C:\\Windows\\System32\\tool.exe"}, // found in the system folder
        {L"missing.exe", L"C:\\Data\\missing.exe"},
        {L"sub\\..\\x.txt", L"C:\\Data\\x.txt"},
        {L"\\top.txt", L"C:\\top.txt"},
        {L"d:\\x", L"D:\\x"},
    };
    for (const auto& c : cases) {
        Buf b;
        EXPECT_TRUE(PathSearchAndQualifyW(c.in, b.data, MAX_PATH)) << to_utf8(c.in);
        EXPECT_EQ(b.str(), to_utf8(c.out));
    }
    wchar_t small[8];
    EXPECT_FALSE(PathSearchAndQualifyW(L"missing.exe", small, 8));
}

} // namespace
