// Runs with tests/win32/data/resources.rsc attached to this very program.
#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/module.h"
#include "win32/resource.h"
#include "win32/text.h"
#include "win32/version.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace win32;

namespace {

// The string lookup the installer's text layer makes: block id / 16 + 1, then skip entries;
// an entry past the end of the block counts as absent.
std::optional<std::wstring> block_string(UINT id) {
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(static_cast<WORD>(id / 16 + 1)), RT_STRING);
    if (!r)
        return std::nullopt;
    auto* p = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, r)));
    DWORD size = SizeofResource(nullptr, r);
    DWORD at = 0;
    for (UINT k = 0; k <= id % 16; ++k) {
        if (size - at < 2)
            return std::nullopt;
        DWORD units = p[at] | (p[at + 1] << 8);
        if ((size - at - 2) / 2 < units)
            return std::nullopt;
        if (k == id % 16)
            return from_utf16le(p + at + 2, units * 2);
        at += 2 + units * 2;
    }
    return std::nullopt;
}

std::string host_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Whether `p` lies in a mapping of this program's own file.
bool mapped_from_program(const void* p) {
    std::string exe = fs::read_symlink("/proc/self/exe").string();
    std::ifstream maps("/proc/self/maps");
    std::string line;
    auto at = reinterpret_cast<std::uintptr_t>(p);
    while (std::getline(maps, line)) {
        std::uintptr_t lo = 0, hi = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx", &lo, &hi) == 2 && at >= lo && at < hi)
            return line.size() >= exe.size() &&
                   line.compare(line.size() - exe.size(), exe.size(), exe) == 0;
    }
    return false;
}

TEST(Resources, StringTablesInBlocks) {
    dvtest::TempMachine tm;
    EXPECT_EQ(block_string(3000), L"Installationsprogramm");
    EXPECT_EQ(block_string(3006), L"Weiter");
    EXPECT_EQ(block_string(3015), L"Zeile eins\r\nZeile zwei");
    EXPECT_EQ(block_string(3016), L"#");
    EXPECT_EQ(block_string(3002), L"");          // inside the block, not in the table
    EXPECT_EQ(block_string(3100), std::nullopt); // no such block
    EXPECT_EQ(block_string(3184), L"AB");
    EXPECT_EQ(block_string(3185), std::nullopt); // its text runs past the end of the block
    EXPECT_EQ(block_string(3186), std::nullopt); // past the end of the block

    wchar_t buf[8];
    EXPECT_EQ(LoadStringW(nullptr, 3006, buf, 8), 6);
    EXPECT_STREQ(buf, L"Weiter");
    EXPECT_EQ(LoadStringW(nullptr, 3000, buf, 8), 7); // cut to the buffer
    EXPECT_STREQ(buf, L"Install");
    EXPECT_EQ(LoadStringW(nullptr, 3185, buf, 8), 0);
    EXPECT_EQ(LoadStringW(nullptr, 3100, buf, 8), 0);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST(Resources, DataReadInPlaceByTypeNameAndLanguage) {
    dvtest::TempMachine tm({"user.langid=0x040C", "user.lcid=0x040C"});
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(134), MAKEINTRESOURCEW(260));
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(SizeofResource(nullptr, r), 1024u);
    const void* data = LockResource(LoadResource(nullptr, r));
    EXPECT_EQ(std::string(static_cast<const char*>(data), 1024),
              host_file(DV_TEST_DATA "/package.bin"));
    EXPECT_TRUE(mapped_from_program(data));
    EXPECT_EQ(FindResourceW(nullptr, L"#134", L"#260"), r);
    EXPECT_EQ(FindResourceExW(nullptr, MAKEINTRESOURCEW(260), MAKEINTRESOURCEW(134), 0x0407), r);

    // Names compare without case; the user's language wins, another can be asked for.
    HRSRC fr = FindResourceW(nullptr, L"zip", L"PACKAGE");
    ASSERT_NE(fr, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, fr), 2u);
    HRSRC en = FindResourceExW(nullptr, L"Package", L"Zip", 0x0409);
    ASSERT_NE(en, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, en), 1024u);

    struct Case {
        LPCWSTR type, name;
        WORD language;
        DWORD error;
    };
    const Case missing[] = {
        {MAKEINTRESOURCEW(261), MAKEINTRESOURCEW(134), 0, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {MAKEINTRESOURCEW(260), MAKEINTRESOURCEW(135), 0, ERROR_RESOURCE_NAME_NOT_FOUND},
        {L"Package", L"Zip", 0x0407, ERROR_RESOURCE_LANG_NOT_FOUND},
    };
    for (const auto& c : missing) {
        EXPECT_EQ(FindResourceExW(nullptr, c.type, c.name, c.language), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    int local = 0;
    EXPECT_EQ(SizeofResource(nullptr, reinterpret_cast<HRSRC>(&local)), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
}

TEST(Resources, IconsAndBitmaps) {
    dvtest::TempMachine tm;
    HRSRC group = FindResourceW(nullptr, MAKEINTRESOURCEW(128), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(SizeofResource(nullptr, group), 6u + 14u);
    auto* g = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, group)));
    EXPECT_EQ(g[4], 1);  // one image
    EXPECT_EQ(g[6], 16); // 16 pixels wide
    WORD icon_id = static_cast<WORD>(g[18] | (g[19] << 8));
    HRSRC icon = FindResourceW(nullptr, MAKEINTRESOURCEW(icon_id), RT_ICON);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, icon), 40u);

    HRSRC bitmap = FindResourceW(nullptr, MAKEINTRESOURCEW(137), RT_BITMAP);
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, bitmap), 44u); // the file without its 14-byte header
    EXPECT_EQ(*static_cast<const BYTE*>(LockResource(LoadResource(nullptr, bitmap))), 40);
}

// The version values of a file on the machine, read as the installer reads them.
struct Version {
    VS_FIXEDFILEINFO fixed{};
    std::wstring block;
    std::vector<BYTE> buffer;

    std::optional<std::wstring> value(const std::wstring& name) {
        LPVOID p = nullptr;
        UINT n = 0;
        if (!VerQueryValueW(buffer.data(), (L"\\StringFileInfo\\" + block + L"\\" + name).c_str(),
                            &p, &n))
            return std::nullopt;
        EXPECT_EQ(std::wcslen(static_cast<const wchar_t*>(p)) + 1, n);
        return std::wstring(static_cast<const wchar_t*>(p));
    }
};

Version read_version(const std::wstring& file) {
    Version v;
    DWORD handle = 7;
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    EXPECT_NE(size, 0u) << GetLastError();
    EXPECT_EQ(handle, 0u);
    v.buffer.resize(size);
    EXPECT_FALSE(GetFileVersionInfoW(file.c_str(), 0, size - 1, v.buffer.data()));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, v.buffer.data()));
    LPVOID p = nullptr;
    UINT n = 0;
    EXPECT_TRUE(VerQueryValueW(v.buffer.data(), L"\\", &p, &n));
    EXPECT_EQ(n, sizeof(VS_FIXEDFILEINFO));
    if (p)
        std::memcpy(&v.fixed, p, sizeof v.fixed);
    EXPECT_TRUE(VerQueryValueW(v.buffer.data(), L"\\VarFileInfo\\Translation", &p, &n));
    EXPECT_EQ(n, 4u);
    if (p && n >= 4) {
        auto* t = static_cast<const WORD*>(p);
        wchar_t key[9];
        std::swprintf(key, 9, L"%04X%04X", t[0], t[1]);
        v.block = key;
    }
    return v;
}

TEST(Versions, OurElfProgram) {
    dvtest::TempMachine tm;
    fs::create_directories(tm.host(L"C:\\Program Files\\T"));
    fs::copy_file("/proc/self/exe", tm.host(L"C:\\Program Files\\T\\test.exe"));
    Version v = read_version(L"C:\\Program Files\\T\\TEST.exe");
    EXPECT_EQ(v.fixed.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(v.fixed.dwFileVersionMS, 0x00060005u);
    EXPECT_EQ(v.fixed.dwFileVersionLS, 0x00060003u);
    EXPECT_EQ(v.fixed.dwProductVersionMS, 0x00060005u);
    EXPECT_EQ(v.fixed.dwProductVersionLS, 0u);
    EXPECT_EQ(v.fixed.dwFileFlags & v.fixed.dwFileFlagsMask, VS_FF_PRERELEASE);
    EXPECT_EQ(v.block, L"040904B0");
    EXPECT_EQ(v.value(L"ProductName"), L"Marquetta");
    EXPECT_EQ(v.value(L"productversion"), L"6.05f");
    EXPECT_EQ(v.value(L"FileDescription"), L"Test program, ü and €");
    EXPECT_EQ(v.value(L"LegalCopyright"), L"");
    EXPECT_EQ(v.value(L"CompanyName"), std::nullopt);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST(Versions, PeFileMadeByARealToolchain) {
    dvtest::TempMachine tm;
    fs::create_directories(tm.host(L"C:\\Program Files\\T"));
    fs::copy_file(DV_FIXTURES "/version_pe.exe", tm.host(L"C:\\Program Files\\T\\Marquetta.exe"));
    Version v = read_version(L"C:\\Program Files\\T\\Marquetta.exe");
    EXPECT_EQ(v.fixed.dwFileVersionMS, 0x00060005u);
    EXPECT_EQ(v.fixed.dwFileVersionLS, 0x00060003u);
    EXPECT_EQ(v.fixed.dwProductVersionMS, 0x00060005u);
    EXPECT_EQ(v.fixed.dwFileFlags & v.fixed.dwFileFlagsMask, VS_FF_PRERELEASE | VS_FF_PRIVATEBUILD);
    EXPECT_EQ(v.block, L"040C04B0");
    EXPECT_EQ(v.value(L"ProductName"), L"Marquetta");
    EXPECT_EQ(v.value(L"ProductVersion"), L"6.05f");
    EXPECT_EQ(v.value(L"FileDescription"), L"Marquetta 6 bêta");
    EXPECT_EQ(v.value(L"LegalCopyright"), std::nullopt);

    // Its other resources through the same directory reader.
    DWORD error = 0;
    auto image = ResourceImage::open(tm.host(L"C:\\Program Files\\T\\Marquetta.exe"), error);
    ASSERT_NE(image, nullptr);
    const auto* pkg = image->find(ResourceKey::from(MAKEINTRESOURCEW(260)),
                                  ResourceKey::from(MAKEINTRESOURCEW(134)), 0, true, error);
    ASSERT_NE(pkg, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pkg->data), pkg->size),
              std::string("PKG-BYTES"));
    const auto* strings =
        image->find(ResourceKey::from(RT_STRING),
                    ResourceKey::from(MAKEINTRESOURCEW(2000 / 16 + 1)), 0x0409, false, error);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(from_utf16le(strings->data + 2, 18), L"Installer");
}

TEST(Versions, FilesWithoutOne) {
    dvtest::TempMachine tm;
    dvtest::write_host_file(tm.host(L"C:\\notes.txt"), "just text");
    fs::copy_file(DV_HELPER_PATH, tm.host(L"C:\\plain.exe"));
    struct Case {
        const wchar_t* file;
        DWORD error;
    };
    const Case cases[] = {
        {L"C:\\missing.exe", ERROR_FILE_NOT_FOUND},
        {L"C:\\No Folder\\x.exe", ERROR_PATH_NOT_FOUND},
        {L"C:\\notes.txt", ERROR_BAD_FORMAT},
        {L"C:\\plain.exe", ERROR_RESOURCE_DATA_NOT_FOUND},
    };
    for (const auto& c : cases) {
        DWORD handle = 0;
        EXPECT_EQ(GetFileVersionInfoSizeW(c.file, &handle), 0u) << to_utf8(c.file);
        EXPECT_EQ(GetLastError(), c.error) << to_utf8(c.file);
    }
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ResourceCompiler, AttachingAgainReplacesTheDirectory) {
    dvtest::TempMachine tm;
    fs::path file = tm.root() / "prog";
    fs::copy_file(DV_HELPER_PATH, file);
    auto original = fs::file_size(file);
    fs::path dir = tm.root() / "one.dvres";
    dvtest::write_host_file(tm.root() / "one.rsc",
                            "data 10 1 0 " + std::string(DV_TEST_DATA) + "/package.bin\n");
    ASSERT_EQ(run(std::string(DV_RESCOMP) + " compile " + (tm.root() / "one.rsc").string() + " " +
                  dir.string()),
              0);
    ASSERT_EQ(run(std::string(DV_RESCOMP) + " attach " + file.string() + " " + dir.string()), 0);
    auto once = fs::file_size(file);
    ASSERT_EQ(run(std::string(DV_RESCOMP) + " attach " + file.string() + " " + dir.string()), 0);
    EXPECT_EQ(fs::file_size(file), once);
    EXPECT_GT(once, original + 1024);
    EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_exec, fs::perms::none);
    DWORD error = 0;
    auto image = ResourceImage::open(file, error);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->entries().size(), 1u);
    EXPECT_EQ(image->entries()[0].size, 1024u);
    // The program still runs with its resources attached.
    EXPECT_EQ(run(file.string() + " exit 3"), 3);
}

TEST(ResourceCompiler, ScriptErrorsNameTheirLine) {
    dvtest::TempMachine tm;
    const std::string cases[] = {
        "; fine\nfrobnicate 1 2\n",
        "data 10 1 0x0409 " DV_TEST_DATA "/package.bin\ndata RT_RCDATA 1 0x0409 " DV_TEST_DATA
        "/package.bin\n",
        "data 10 1 0 ${UNDEFINED}\n",
        "data 10 0 0 " DV_TEST_DATA "/package.bin\n",
        "icon 1 0 " DV_TEST_DATA "/package.bin\n",
        "strings " DV_TEST_DATA "/missing.txt\n",
    };
    for (const auto& script : cases) {
        dvtest::write_host_file(tm.root() / "bad.rsc", script);
        std::string log = (tm.root() / "log").string();
        EXPECT_EQ(run(std::string(DV_RESCOMP) + " compile " + (tm.root() / "bad.rsc").string() +
                      " " + (tm.root() / "bad.dvres").string() + " 2>" + log),
                  1)
            << script;
        EXPECT_NE(host_file(log).find("bad.rsc:"), std::string::npos) << host_file(log);
        EXPECT_FALSE(fs::exists(tm.root() / "bad.dvres"));
    }
}

} // namespace

namespace {

TEST(Resources, OfALoadedModule) {
    dvtest::TempMachine tm;
    fs::copy_file(DV_RESOURCE_MODULE, tm.host(L"C:\\Windows\\System32\\dvres.dll"));
    HMODULE h = LoadLibraryW(L"C:\\Windows\\System32\\dvres.dll");
    ASSERT_NE(h, nullptr) << GetLastError();
    HRSRC r = FindResourceW(h, MAKEINTRESOURCEW(1), L"module");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(LockResource(LoadResource(h, r))),
                          SizeofResource(h, r)),
              "in the module\n");
    // Not the program's resources, and not the module's through the program.
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(1), L"module"), nullptr);
    EXPECT_EQ(SizeofResource(nullptr, r), 0u);
    EXPECT_EQ(FindResourceW(h, MAKEINTRESOURCEW(134), MAKEINTRESOURCEW(260)), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(FindResourceW(h, MAKEINTRESOURCEW(1), L"module"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    Version v = read_version(L"C:\\Windows\\System32\\dvres.dll");
    EXPECT_EQ(v.fixed.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(v.fixed.dwFileType, VFT_DLL);
    EXPECT_EQ(v.value(L"ProductName"), L"Dv test module");
}

} // namespace
