#include "journal/journal.h"

#include "app/product.h"
#include "tests/journal/support.h"
#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/text.h"

#include <gtest/gtest.h>

using namespace win32;
using namespace jtest;

namespace {

using UlogTest = dvtest::MachineTest;

JournalEntry entry(std::int32_t kind, std::wstring path, std::int32_t detail = -1,
                   std::uint8_t ok = 1) {
    JournalEntry e;
    e.kind = kind;
    e.path = std::move(path);
    e.detail = detail;
    e.succeeded = ok;
    return e;
}

// ASCII text as the log stores it, encoded here independently of the program's converter.
std::string utf16le_ascii(std::string_view text) {
    std::string out;
    for (char c : text) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

// The lines of a UTF-16LE log after its byte-order mark, each without its CR LF.
std::vector<std::wstring> log_lines(const std::wstring& path) {
    std::string bytes = file_bytes(path);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::wstring text = from_utf16le(bytes.data() + 2, bytes.size() - 2);
    std::vector<std::wstring> lines;
    std::size_t pos = 0, end;
    while ((end = text.find(L"\r\n", pos)) != std::wstring::npos) {
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    EXPECT_EQ(pos, text.size()) << "the last line ends with CR LF";
    return lines;
}

TEST_F(UlogTest, TheExampleLogByteForByte) {
    const std::wstring app = L"C:\\Apps\\Marquetta 6", menu = L"C:\\Menu\\Marquetta 6";
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Apps", nullptr));
    ASSERT_TRUE(CreateDirectoryW(app.c_str(), nullptr));
    InstallJournal journal;
    journal.previousTitle = L"Marquetta 6.04";
    journal.entries = {
        entry(JournalEntry::folder, app),
        entry(JournalEntry::file, app + L"\\Marquetta.exe", 1),
        entry(JournalEntry::file, app + L"\\Uninstall.exe", 2),
        entry(JournalEntry::menu_shortcut, menu + L"\\Marquetta 6.05f.lnk"),
        entry(JournalEntry::uninstall_shortcut, menu + L"\\Uninstall Marquetta.lnk"),
        entry(JournalEntry::uninstall_key, L""),
        entry(JournalEntry::registration, L""),
    };
    const std::wstring log = app + L"\\Uninstall.ulog";
    ASSERT_TRUE(journal.WriteLog(log, app, menu));

    const char* lines[] = {
        "// Uninstall Log File v1",
        "// ############ WARNING: Do not delete or modify this file. ############",
        "// Install Marquetta 6.05f -- Update (Marquetta 6.04)",
        "// Install Path : C:\\Apps\\Marquetta 6",
        "// Shortcut Path : C:\\Menu\\Marquetta 6",
        "// -----------------------------------",
        "0000:00ff:1 -- C:\\Apps\\Marquetta 6",
        "0001:0101:1 -- C:\\Apps\\Marquetta 6\\Marquetta.exe",
        "0002:0102:1 -- C:\\Apps\\Marquetta 6\\Uninstall.exe",
        "0003:02ff:1 -- C:\\Menu\\Marquetta 6\\Marquetta 6.05f.lnk",
        "0004:03ff:1 -- C:\\Menu\\Marquetta 6\\Uninstall Marquetta.lnk",
        "0005:05ff:1 -- "
        "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Marquetta 6",
        "0006:06ff:1 -- HKEY_CLASSES_ROOT\\...",
    };
    std::string expected = "\xFF\xFE";
    for (const char* line : lines)
        expected += utf16le_ascii(std::string(line) + "\r\n");
    EXPECT_EQ(file_bytes(log), expected);
    EXPECT_EQ(attributes(log), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE |
                                   FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);

    // A second installation replaces the read-only log.
    InstallJournal again;
    EXPECT_TRUE(again.WriteLog(log, app, menu));
    EXPECT_EQ(log_lines(log).size(), 6u);
}

TEST_F(UlogTest, EmptyTitleEmptyShortcutFolderAndFiveDigitIndex) {
    InstallJournal journal;
    for (int i = 0; i < 10001; ++i)
        journal.entries.push_back(entry(JournalEntry::file, L"C:\\f", 3, i % 2));
    journal.entries.push_back(
        entry(JournalEntry::directx_setup, L"Mise à jour de DirectX...", -1, 0));
    ASSERT_TRUE(journal.WriteLog(L"C:\\u.ulog", L"C:\\Program Files\\X", L""));
    auto lines = log_lines(L"C:\\u.ulog");
    ASSERT_EQ(lines.size(), 6u + 10002u);
    EXPECT_EQ(lines[2], L"// Install Marquetta 6.05f");
    EXPECT_EQ(lines[4], L"// Shortcut Path : ");
    EXPECT_EQ(lines[5], L"// ----------------");
    EXPECT_EQ(lines[6], L"0000:0103:0 -- C:\\f");
    EXPECT_EQ(lines[6 + 9999], L"9999:0103:1 -- C:\\f");
    EXPECT_EQ(lines[6 + 10000], L"10000:0103:0 -- C:\\f");
    EXPECT_EQ(lines[6 + 10001], L"10001:07ff:0 -- Mise à jour de DirectX...");
}

TEST_F(UlogTest, MergeKeepsEarlierRecordsThatNothingSupersedes) {
    const std::wstring app = L"C:\\App";
    put_file(app + L"\\main.exe", "program");
    InstallJournal journal;
    journal.previousEntries = {
        entry(JournalEntry::folder, app),
        entry(JournalEntry::file, app + L"\\main.exe", 1),
        entry(JournalEntry::file, app + L"\\old.dat", 0),
        entry(JournalEntry::file, app + L"\\old.dat", 3), // the newer of two alike survives
        entry(JournalEntry::file, app + L"\\Gone\\moved.dat", 0),
        entry(JournalEntry::desktop_shortcut, L"C:\\Desk\\Marquetta 6.04.lnk"),
        entry(JournalEntry::menu_shortcut, L"C:\\Menu\\Marquetta 6.04.lnk"),
        entry(JournalEntry::registration, L""),
    };
    // This installation writes the program again (the same file under another spelling),
    // makes a menu shortcut, registers; it makes no desktop shortcut.
    journal.entries = {
        entry(JournalEntry::file, L"c:\\app\\.\\MAIN.EXE", 1),
        entry(JournalEntry::file, L"c:\\APP\\gone\\x\\..\\Moved.dat", 0), // exists nowhere
        entry(JournalEntry::menu_shortcut, L"C:\\Menu\\Marquetta 6.05f.lnk"),
        entry(JournalEntry::registration, L""),
    };
    ASSERT_TRUE(journal.WriteLog(L"C:\\u.ulog", app, L"C:\\Menu"));
    EXPECT_TRUE(journal.previousEntries.empty());
    auto lines = log_lines(L"C:\\u.ulog");
    std::vector<std::wstring> body(lines.begin() + 6, lines.end());
    EXPECT_EQ(body, (std::vector<std::wstring>{
                        L"0000:00ff:1 -- C:\\App",
                        L"0001:0103:1 -- C:\\App\\old.dat",
                        L"0002:04ff:1 -- C:\\Desk\\Marquetta 6.04.lnk",
                        L"0003:0101:1 -- c:\\app\\.\\MAIN.EXE",
                        L"0004:0100:1 -- c:\\APP\\gone\\x\\..\\Moved.dat",
                        L"0005:02ff:1 -- C:\\Menu\\Marquetta 6.05f.lnk",
                        L"0006:06ff:1 -- HKEY_CLASSES_ROOT\\...",
                    }));
}

TEST_F(UlogTest, BackupsAreDeletedEvenWhenTheLogCannotBeWritten) {
    put_file(L"C:\\App\\a.dat", "a");
    put_file(L"C:\\App\\b.dat", "b");
    InstallJournal journal;
    journal.RecordFile(L"C:\\App\\a.dat", 3, true);
    journal.CloseEntry(true);
    journal.RecordFile(L"C:\\App\\b.dat", 0, false);
    journal.CloseEntry(true);
    ASSERT_EQ(backup_files().size(), 2u);
    EXPECT_FALSE(journal.WriteLog(L"C:\\NoSuchFolder\\Uninstall.ulog", L"C:\\App", L""));
    EXPECT_TRUE(backup_files().empty());
    for (const auto& e : journal.entries)
        EXPECT_TRUE(e.backupPath.empty());
}

TEST_F(UlogTest, WhatWriteLogWroteReadsBack) {
    const std::wstring app = L"C:\\Program Files\\Dravik & Rodezura\\Marquetta 6";
    const std::wstring menu = L"C:\\Menu\\Dravik & Rodezura\\Marquetta 6";
    InstallJournal journal;
    journal.CreateFolders(app);
    journal.RecordFile(app + L"\\Marquetta.exe", 1, false);
    journal.CloseEntry(true);
    journal.RecordFile(app + L"\\Réglages été.dat", 3, true);
    journal.CloseEntry(false);
    journal.RecordShortcut(0, menu);
    journal.CloseEntry(true, menu + L"\\Marquetta 6.05f.lnk");
    journal.RecordShortcut(2, L"C:\\Users\\Public\\Desktop");
    journal.CloseEntry(false); // a failed link has no path
    journal.RecordUninstallKey(nullptr);
    journal.CloseEntry(true);
    journal.RecordRegistration();
    journal.CloseEntry(false);
    journal.RecordDirectXSetup();
    journal.CloseEntry(true, L"Mise à jour de DirectX...");
    std::vector<JournalEntry> written(journal.entries.begin(), journal.entries.end());
    const std::wstring log = app + L"\\Uninstall.ulog";
    ASSERT_TRUE(journal.WriteLog(log, app, menu));

    InstallJournal back;
    back.ReadLog(log);
    EXPECT_EQ(back.previousTitle, productTitle());
    EXPECT_EQ(back.previousInstallPath, app);
    EXPECT_EQ(back.previousShortcutPath, menu);
    ASSERT_EQ(back.previousEntries.size(), written.size());
    auto it = back.previousEntries.begin();
    for (const JournalEntry& w : written) {
        const bool fixedText =
            w.kind == JournalEntry::uninstall_key || w.kind == JournalEntry::registration;
        EXPECT_EQ(it->kind, w.kind);
        EXPECT_EQ(it->path, fixedText ? L"" : w.path);
        EXPECT_EQ(it->detail, w.detail);
        EXPECT_EQ(it->succeeded, w.succeeded);
        EXPECT_TRUE(it->backupPath.empty());
        ++it;
    }
    EXPECT_TRUE(back.entries.empty());

    // Without a shortcut folder the log still reads to its end.
    InstallJournal noMenu;
    noMenu.entries.push_back(entry(JournalEntry::folder, app));
    ASSERT_TRUE(noMenu.WriteLog(log, app, L""));
    InstallJournal back2;
    back2.ReadLog(log);
    EXPECT_EQ(back2.previousInstallPath, app);
    EXPECT_EQ(back2.previousShortcutPath, L"");
    EXPECT_EQ(back2.previousEntries.size(), 1u);
}

// ---- reading logs of every shape ---------------------------------------------------------

std::string utf16_log(std::wstring_view text) {
    std::string bytes = "\xFF\xFE";
    append_utf16le(bytes, text);
    return bytes;
}

const std::wstring header =
    L"// Uninstall Log File v1\r\n"
    L"// ############ WARNING: Do not delete or modify this file. ############\r\n"
    L"// Install Marquetta 6.04 -- Update (Marquetta 6.03)\r\n"
    L"// Install Path : C:\\App\r\n"
    L"// Shortcut Path : C:\\Menu\r\n"
    L"// ------------------------\r\n";

struct ReadResult {
    std::wstring title, install, shortcut;
    std::vector<std::wstring> entries; // "kind detail ok path"
};

ReadResult read_bytes(const std::string& bytes) {
    put_file(L"C:\\test.ulog", bytes);
    InstallJournal journal;
    journal.ReadLog(L"C:\\test.ulog");
    ReadResult r{
        journal.previousTitle, journal.previousInstallPath, journal.previousShortcutPath, {}};
    for (const auto& e : journal.previousEntries)
        r.entries.push_back(std::to_wstring(e.kind) + L" " + std::to_wstring(e.detail) + L" " +
                            std::to_wstring(e.succeeded) + L" " + e.path);
    return r;
}

TEST_F(UlogTest, ReadingStopsWhereTheLogStopsMakingSense) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\App", nullptr));
    const std::wstring good = L"0000:00ff:1 -- C:\\App\r\n";
    struct Case {
        const char* what;
        std::wstring text;
        std::size_t entries;
        bool header_read;
    };
    const Case cases[] = {
        {"whole", header + good + L"0001:0104:0 --   C:\\App\\x y.dat  \r\n", 2, true},
        {"blank line between entries", header + good + L"\r\n" + good, 1, true},
        {"version 2",
         L"// Uninstall Log File v2\r\n" + header.substr(header.find(L'\n') + 1) + good, 0, false},
        {"no version label", L"// Uninstall Log\r\n" + good, 0, false},
        {"entry before any header", good, 0, false},
        {"missing path label",
         header.substr(0, header.find(L"// Install Path")) + L"// Path\r\n" + good, 0, false},
        {"kind 8", header + L"0000:0800:1 -- x\r\n", 0, true},
        {"negative index", header + L"-1:00ff:1 -- x\r\n", 0, true},
        {"outcome 2", header + L"0000:00ff:2 -- x\r\n", 0, true},
        {"no separator word", header + L"0000:00ff:1 - x\r\n", 0, true},
        {"glued separator", header + L"0000:00ff:1 --x\r\n", 0, true},
        {"missing colon", header + L"0000 00ff:1 -- x\r\n", 0, true},
        {"blanks inside fields", header + L" 7 : ff : 1  --  C:\\App\r\n", 1, true},
        {"no line end at the end", header + good + L"0001:0100:1 -- C:\\last", 2, true},
        {"empty path", header + L"0000:02ff:0 --\r\n", 1, true},
    };
    for (const Case& c : cases) {
        ReadResult r = read_bytes(utf16_log(c.text));
        EXPECT_EQ(r.entries.size(), c.entries) << c.what;
        EXPECT_EQ(r.install, c.header_read ? L"C:\\App" : L"") << c.what;
    }
    ReadResult whole = read_bytes(utf16_log(cases[0].text));
    EXPECT_EQ(whole.title, L"Marquetta 6.04");
    EXPECT_EQ(whole.shortcut, L"") << "C:\\Menu does not exist";
    EXPECT_EQ(whole.entries,
              (std::vector<std::wstring>{L"0 -1 1 C:\\App", L"1 4 0 C:\\App\\x y.dat"}));
    EXPECT_EQ(read_bytes(utf16_log(header + L" 7 : ff : 1  --  C:\\App\r\n")).entries[0],
              L"0 -1 1 C:\\App");
    EXPECT_EQ(
        read_bytes(utf16_log(header + L"0000:05ff:1 -- HKEY_LOCAL_MACHINE\\x\r\n")).entries[0],
        L"5 -1 1 ");
}

TEST_F(UlogTest, AnAnsiLogReadsLikeItsUtf16Form) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\App", nullptr));
    const std::wstring text = header + L"0000:0103:1 -- C:\\App\\Réglages.dat\r\n";
    std::string ansi;
    for (wchar_t c : text)
        ansi.push_back(static_cast<char>(c)); // every character is in code page 1252
    ReadResult a = read_bytes(ansi), u = read_bytes(utf16_log(text));
    EXPECT_EQ(a.entries, u.entries);
    EXPECT_EQ(a.entries, std::vector<std::wstring>{L"1 3 1 C:\\App\\Réglages.dat"});
    EXPECT_EQ(a.title, u.title);
    EXPECT_EQ(a.install, u.install);
}

TEST_F(UlogTest, AnOverLongLineEndsTheReading) {
    // The over-long line's tail looks like an entry; it must not be taken for one.
    const std::wstring tail = L"0009:0100:1 -- C:\\smuggled\r\n";
    for (bool utf16 : {true, false}) {
        const std::size_t limit = utf16 ? 511 : 1023;
        std::wstring longLine = L"0001:0100:1 -- C:\\";
        // Exactly at the limit (line end included) is still a line of its own.
        std::wstring atLimit = longLine + std::wstring(limit - longLine.size() - 2, L'a') + L"\r\n";
        std::wstring overLimit = longLine + std::wstring(limit - longLine.size(), L'a') + tail;
        for (const auto& [line, entries] : {std::pair{atLimit, 2u}, std::pair{overLimit, 1u}}) {
            std::wstring text =
                header + L"0000:00ff:1 -- C:\\first\r\n" + line + L"0002:00ff:1 -- C:\\after\r\n";
            std::string bytes;
            if (utf16) {
                bytes = utf16_log(text);
            } else {
                for (wchar_t c : text)
                    bytes.push_back(static_cast<char>(c));
            }
            ReadResult r = read_bytes(bytes);
            ASSERT_EQ(r.entries.size(), entries == 2u ? 3u : 1u) << utf16;
            for (const auto& e : r.entries)
                EXPECT_EQ(e.find(L"smuggled"), std::wstring::npos);
        }
    }
}

TEST_F(UlogTest, ReadLogWithoutAFileOnlyClearsTheFolders) {
    InstallJournal journal;
    journal.previousInstallPath = L"C:\\A";
    journal.previousShortcutPath = L"C:\\B";
    journal.previousTitle = L"kept";
    journal.previousEntries.push_back(entry(JournalEntry::folder, L"C:\\A"));
    journal.ReadLog(std::nullopt);
    EXPECT_EQ(journal.previousInstallPath, L"");
    EXPECT_EQ(journal.previousShortcutPath, L"");
    EXPECT_EQ(journal.previousTitle, L"kept");
    EXPECT_EQ(journal.previousEntries.size(), 1u);

    // A log appends to the earlier records and replaces the title.
    put_file(L"C:\\u.ulog", utf16_log(header + L"0000:00ff:1 -- C:\\B\r\n"));
    journal.ReadLog(L"C:\\u.ulog");
    EXPECT_EQ(journal.previousTitle, L"Marquetta 6.04");
    EXPECT_EQ(journal.previousEntries.size(), 2u);
    journal.ReadLog(L"C:\\missing.ulog");
    EXPECT_EQ(journal.previousEntries.size(), 2u);
}

TEST_F(UlogTest, SamePathByElementsByIdentityOrByFullPath) {
    put_file(L"C:\\Dir\\file.txt", "x");
    put_file(L"C:\\Dir\\other.txt", "x");
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\Dir"));
    struct Case {
        const wchar_t *a, *b;
        bool same;
    };
    const Case cases[] = {
        {L"C:\\Dir\\file.txt", L"C:\\Dir\\file.txt", true},
        {L"C:\\Dir\\file.txt", L"C:/Dir//file.txt", true},
        {L"C:\\Dir\\file.txt", L"c:\\DIR\\FILE.TXT", true},      // the same file on disk
        {L"C:\\Dir\\file.txt", L"file.txt", true},               // relative to the current folder
        {L"C:\\Dir\\file.txt", L"C:\\Dir\\other.txt", false},    // same size, not the same file
        {L"C:\\Dir\\file.txt", L"C:\\Dir\\gone.txt", false},     // only one exists
        {L"C:\\No\\Such.txt", L"c:\\no\\x\\..\\such.TXT", true}, // neither: full path, any case
        {L"C:\\No\\Such.txt", L"gone\\..\\..\\No\\such.txt", true},
        {L"C:\\No\\Such.txt", L"C:\\No\\Such.txt2", false},
        {L"C:\\No\\Such.txt", L"C:\\No", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SamePath(c.a, c.b), c.same) << to_utf8(c.a) << " / " << to_utf8(c.b);
}

} // namespace
