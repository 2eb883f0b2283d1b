#include "tests/support/temp_machine.h"
#include "win32/registry.h"
#include "win32/registry_store.h"
#include "win32/text.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace win32;

namespace {

using RegistryTest = dvtest::MachineTest;

using dvtest::run;

std::string hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

HKEY create(HKEY root, const wchar_t* sub, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
              0);
    return key;
}

LSTATUS set_string(HKEY key, const wchar_t* name, std::wstring_view text, DWORD type = REG_SZ) {
    std::wstring data(text);
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                          reg_string_bytes(data));
}

std::wstring query_string(HKEY key, const wchar_t* name) {
    wchar_t buf[260] = {};
    DWORD size = 520, type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size))
        return L"<missing>";
    return buf;
}

DWORD value_count(HKEY key) {
    DWORD values = 0;
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              0);
    return values;
}

TEST_F(RegistryTest, EveryValueTypeRoundTripsThroughAnotherProcess) {
    HKEY key = create(HKEY_CURRENT_USER, L"Software\\Round Trip");
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::wstring text; // string types
        std::string raw;   // other types
        std::string windows_bytes;
    };
    auto u16 = [](std::wstring_view t) {
        std::string b;
        append_utf16le(b, t);
        return b;
    };
    const std::wstring sz = L"Caf\u00e9 \U0001F600 \"q\" C:\\x";
    const std::wstring multi(L"one\0two\0\0", 9);
    const Case cases[] = {
        {L"Sz", REG_SZ, sz, {}, u16(sz) + std::string(2, '\0')},
        {L"", REG_SZ, L"default", {}, u16(L"default") + std::string(2, '\0')},
        {L"Expand",
         REG_EXPAND_SZ,
         L"%ProgramFiles%\\X",
         {},
         u16(L"%ProgramFiles%\\X") + std::string(2, '\0')},
        {L"Multi", REG_MULTI_SZ, multi, {}, u16(multi)},
        {L"Dword",
         REG_DWORD,
         {},
         std::string("\xF6\xFF\xFF\xFF", 4),
         std::string("\xF6\xFF\xFF\xFF", 4)},
        {L"Qword",
         REG_QWORD,
         {},
         std::string("\xEF\xCD\xAB\x89\x67\x45\x23\x01", 8),
         std::string("\xEF\xCD\xAB\x89\x67\x45\x23\x01", 8)},
        {L"Binary", REG_BINARY, {}, std::string("\0\1\2\xFF\0", 5), std::string("\0\1\2\xFF\0", 5)},
        {L"None", REG_NONE, {}, {}, {}},
    };
    for (const auto& c : cases) {
        if (c.type == REG_SZ || c.type == REG_EXPAND_SZ || c.type == REG_MULTI_SZ) {
            DWORD size =
                c.type == REG_MULTI_SZ ? reg_string_bytes(c.text) - 2 : reg_string_bytes(c.text);
            ASSERT_EQ(size, c.windows_bytes.size());
            ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type,
                                     reinterpret_cast<const BYTE*>(c.text.c_str()), size),
                      0);
        } else {
            ASSERT_EQ(RegSetValueExW(key, c.name, 0, c.type,
                                     reinterpret_cast<const BYTE*>(c.raw.data()),
                                     static_cast<DWORD>(c.raw.size())),
                      0);
        }
    }
    RegCloseKey(key);
    for (const auto& c : cases) {
        int status = -1;
        std::string out = run(std::string(DV_PROBE) + " query 'HKCU\\Software\\Round Trip' '" +
                                  to_utf8(c.name) + "'",
                              &status);
        EXPECT_EQ(status, 0) << to_utf8(c.name);
        EXPECT_EQ(out, "type=" + std::to_string(c.type) +
                           " size=" + std::to_string(c.windows_bytes.size()) +
                           " data=" + hex(c.windows_bytes) + "\n")
            << to_utf8(c.name);
    }
    // The program reads its own text back whole, surrogate pairs and all.
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Round Trip", 0, KEY_READ, &key), 0);
    EXPECT_EQ(query_string(key, L"sz"), sz);
    RegCloseKey(key);
}

TEST_F(RegistryTest, SizesAndErrorCodesAreThoseOfWindows) {
    DWORD disposition = 0;
    HKEY key = create(HKEY_CURRENT_USER, L"Software\\T", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(create(HKEY_CURRENT_USER, L"Software\\T\\", &disposition));
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(set_string(key, L"abc", L"abc"), 0);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"ABC", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u);
    wchar_t buf[8] = {};
    size = 6;
    EXPECT_EQ(RegQueryValueExW(key, L"abc", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(RegQueryValueExW(key, L"abc", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
              0);
    EXPECT_STREQ(buf, L"abc");
    EXPECT_EQ(RegQueryValueExW(key, L"missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);

    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Nope", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"\\Software", 0, KEY_READ, &other),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234), L"x", 0, KEY_READ, &other),
              ERROR_INVALID_HANDLE);

    // Sub-keys enumerate in case-insensitive order; a short name buffer gives ERROR_MORE_DATA.
    for (const wchar_t* n : {L"b", L"A", L"c\\deep"})
        RegCloseKey(create(key, n));
    std::wstring names;
    wchar_t name[16];
    DWORD chars = 16, i = 0;
    for (; RegEnumKeyExW(key, i, name, &(chars = 16), nullptr, nullptr, nullptr, nullptr) == 0; ++i)
        names += std::wstring(name, chars) + L",";
    EXPECT_EQ(names, L"A,b,c,");
    EXPECT_EQ(RegEnumKeyExW(key, i, name, &(chars = 16), nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &(chars = 1), nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    size = 2;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &(chars = 16), nullptr, &type,
                            reinterpret_cast<BYTE*>(buf), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);

    EXPECT_EQ(RegDeleteKeyW(key, L"c"), ERROR_ACCESS_DENIED); // it has a sub-key
    EXPECT_EQ(RegDeleteKeyW(key, L"c\\deep"), 0);
    EXPECT_EQ(RegDeleteKeyW(key, L"c"), 0);
    EXPECT_EQ(RegDeleteKeyW(key, L"c"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(key, L"abc"), 0);
    EXPECT_EQ(RegDeleteValueW(key, L"abc"), ERROR_FILE_NOT_FOUND);

    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExW(key, L"A", 0, KEY_READ, &reader), 0);
    EXPECT_EQ(set_string(reader, L"x", L"y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\T"), 0);
    EXPECT_EQ(RegQueryValueExW(reader, L"x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(set_string(key, L"x", L"y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(reader), 0);
    EXPECT_EQ(RegCloseKey(reader), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), 0);
}

TEST_F(RegistryTest, FreshMachineHasTheKeysProgramsReadAndShGetValueExpands) {
    wchar_t buf[260] = {};
    DWORD type = 0, size = 520;
    ASSERT_EQ(SHGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion",
                          L"ProgramFilesDir", &type, buf, &size),
              0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(buf, L"C:\\Program Files");
    EXPECT_EQ(size, reg_string_bytes(L"C:\\Program Files"));
    size = 520;
    ASSERT_EQ(SHGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion",
                          L"ProgramFilesPath", &type, buf, &size),
              0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(buf, L"C:\\Program Files");

    HKEY uninstall = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                            KEY_ALL_ACCESS, &uninstall),
              0);
    DWORD subkeys = 9;
    EXPECT_EQ(RegQueryInfoKeyW(uninstall, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(subkeys, 0u);
    HKEY product = create(uninstall, L"Marquetta 6");
    DWORD lang = 3;
    ASSERT_EQ(RegSetValueExW(product, L"DvLanguage", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&lang), 4),
              0);
    RegCloseKey(product);
    RegCloseKey(uninstall);
    DWORD read = 0;
    size = 4;
    EXPECT_EQ(SHGetValueW(HKEY_LOCAL_MACHINE,
                          L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Marquetta 6",
                          L"DvLanguage", &type, &read, &size),
              0);
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(SHGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Nope", L"x", nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

TEST(RegistryToken, StandardUserCannotChangeMachineKeys) {
    dvtest::TempMachine tm({"token.administrators=deny_only"});
    HKEY key = nullptr;
    const wchar_t* uninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall, 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\X", 0, nullptr, 0, KEY_READ, nullptr,
                              &key, nullptr),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstall, 0, KEY_READ, &key), 0);
    RegCloseKey(key);
    RegCloseKey(create(HKEY_CURRENT_USER, L"Software\\Mine"));
}

TEST_F(RegistryTest, SaveNeedsBackupPrivilegeAndRestoreNeedsRestorePrivilege) {
    HKEY key = create(HKEY_CURRENT_USER, L"Software\\Saved");
    const std::wstring file = tm.machine().user_profile() + L"\\AppData\\Local\\Temp\\dv1.tmp";
    EXPECT_EQ(RegSaveKeyW(key, file.c_str(), nullptr), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_FALSE(std::filesystem::exists(tm.host(file)));
    EXPECT_EQ(RegRestoreKeyW(key, file.c_str(), 0), ERROR_PRIVILEGE_NOT_HELD);
    RegCloseKey(key);
}

TEST(RegistrySave, SaveChangeRestoreGivesTheSavedContentBack) {
    dvtest::TempMachine tm({"token.enabled_privileges=SeBackupPrivilege,SeRestorePrivilege"});
    HKEY key = create(HKEY_LOCAL_MACHINE,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Marquetta 6");
    ASSERT_EQ(set_string(key, L"DisplayName", L"Marquetta 6.05f"), 0);
    RegCloseKey(create(key, L"Sub\\Deeper"));
    std::string before;
    ASSERT_EQ(registry::export_key(key, before), 0);

    const std::wstring file = tm.machine().user_profile() + L"\\AppData\\Local\\Temp\\dv1.tmp";
    ASSERT_EQ(RegSaveKeyW(key, file.c_str(), nullptr), 0);
    EXPECT_EQ(RegSaveKeyW(key, file.c_str(), nullptr), ERROR_ALREADY_EXISTS);

    ASSERT_EQ(set_string(key, L"DisplayName", L"Other"), 0);
    ASSERT_EQ(set_string(key, L"New", L"value"), 0);
    ASSERT_EQ(SHDeleteKeyW(key, L"Sub"), 0);
    RegCloseKey(create(key, L"Added"));

    ASSERT_EQ(RegRestoreKeyW(key, file.c_str(), 0), 0);
    std::string after;
    ASSERT_EQ(registry::export_key(key, after), 0);
    EXPECT_EQ(after, before);
    EXPECT_EQ(query_string(key, L"DisplayName"), L"Marquetta 6.05f");
    RegCloseKey(key);

    // A file that is not a saved key is refused and changes nothing.
    dvtest::write_host_file(tm.host(file), "garbage");
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Marquetta 6",
                            0, KEY_ALL_ACCESS, &key),
              0);
    EXPECT_EQ(RegRestoreKeyW(key, file.c_str(), 0), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(query_string(key, L"DisplayName"), L"Marquetta 6.05f");
    RegCloseKey(key);
}

TEST_F(RegistryTest, MalformedHiveIsRefusedNamingFileAndLine) {
    RegCloseKey(create(HKEY_CURRENT_USER, L"Software\\Before"));
    auto hive = tm.root() / "registry" / "HKCU.reg";
    std::string text("\xFF\xFE", 2);
    append_utf16le(
        text,
        L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER]\r\n\"a\"=dword:xyz\r\n");
    dvtest::write_host_file(hive, text);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\After", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_NE(registry::last_hive_error().find("HKCU.reg:4: dword data"), std::string::npos)
        << registry::last_hive_error();
    EXPECT_EQ(dvtest::read_host_file(hive), text); // left for a person to repair, not replaced
}

TEST_F(RegistryTest, WritersInSeveralProcessesLoseNothing) {
    RegCloseKey(create(HKEY_CURRENT_USER, L"Software\\Shared"));
    constexpr int kProcesses = 4, kValues = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY key = nullptr;
            int failures =
                RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Shared", 0, KEY_ALL_ACCESS, &key) != 0;
            for (int v = 0; v < kValues && !failures; ++v) {
                DWORD data = static_cast<DWORD>(p * 1000 + v);
                std::wstring name = L"p" + std::to_wstring(p) + L"v" + std::to_wstring(v);
                failures += RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&data), 4) != 0;
            }
            ::_exit(failures);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Shared", 0, KEY_READ, &key), 0);
    EXPECT_EQ(value_count(key), static_cast<DWORD>(kProcesses * kValues));
    DWORD data = 0, size = 4;
    EXPECT_EQ(
        RegQueryValueExW(key, L"p3v24", nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size),
        0);
    EXPECT_EQ(data, 3024u);
    RegCloseKey(key);
}

TEST_F(RegistryTest, WriterKilledMidWriteLeavesReadableHive) {
    HKEY key = create(HKEY_CURRENT_USER, L"Software\\Big");
    const std::string blob(4096, '\x5A');
    for (int i = 0; i < 32; ++i) {
        std::wstring name = L"blob" + std::to_wstring(i);
        ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_BINARY,
                                 reinterpret_cast<const BYTE*>(blob.data()), 4096),
                  0);
    }
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (DWORD n = 1;; ++n) {
            RegSetValueExW(key, L"counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), 4);
            if (::write(progress[1], "x", 1) != 1)
                ::_exit(1);
        }
    }
    ::close(progress[1]);
    char c;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(::read(progress[0], &c, 1), 1);
    ::kill(pid, SIGKILL); // almost surely inside a rewrite of the hive
    ::waitpid(pid, nullptr, 0);
    ::close(progress[0]);

    DWORD counter = 0, size = 4;
    ASSERT_EQ(RegQueryValueExW(key, L"counter", nullptr, nullptr, reinterpret_cast<BYTE*>(&counter),
                               &size),
              0);
    EXPECT_GE(counter, 3u);
    EXPECT_EQ(value_count(key), 33u);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DvmachineShowsAndChangesWhatProgramsSee) {
    const std::string dv = std::string(DV_DVMACHINE) + " reg ";
    int status = -1;
    run(dv + "set 'HKLM\\Software\\Tool Test' Name REG_SZ 'hello world'", &status);
    ASSERT_EQ(status, 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tool Test", 0, KEY_ALL_ACCESS, &key),
              0);
    EXPECT_EQ(query_string(key, L"Name"), L"hello world");
    DWORD d = 42;
    ASSERT_EQ(RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), 4), 0);
    RegCloseKey(create(key, L"Child"));
    RegCloseKey(key);

    std::string out = run(dv + "query 'HKEY_LOCAL_MACHINE\\software\\tool test'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool Test\n"
                   "    Name    REG_SZ    hello world\n"
                   "    Count    REG_DWORD    0x2a\n"
                   "\n"
                   "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool Test\\Child\n");
    out = run(dv + "query 'HKLM\\Software\\Tool Test' Count", &status);
    EXPECT_EQ(out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool Test\n    Count    REG_DWORD    0x2a\n");
    run(dv + "query 'HKLM\\Software\\Tool Test' Missing 2>/dev/null", &status);
    EXPECT_EQ(status, 1);

    auto exported = tm.root() / "export.reg";
    run(dv + "export 'HKLM\\Software\\Tool Test' '" + exported.string() + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(dvtest::read_host_file(exported).starts_with("\xFF\xFEW\0i\0n\0"));

    run(dv + "delete 'HKLM\\Software\\Tool Test' Count", &status);
    EXPECT_EQ(status, 0);
    run(dv + "delete 'HKLM\\Software\\Tool Test'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tool Test", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

} // namespace
