#include "journal/journal.h"

#include "app/product.h"
#include "tests/journal/support.h"
#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/registry.h"
#include "win32/shellnotify.h"
#include "win32/text.h"
#include "win32/token.h"

#include <gtest/gtest.h>

using namespace win32;
using namespace jtest;

namespace {

using JournalTest = dvtest::MachineTest;

std::vector<std::pair<std::int32_t, std::wstring>> kinds_and_paths(const JournalList& list) {
    std::vector<std::pair<std::int32_t, std::wstring>> out;
    for (const auto& e : list)
        out.emplace_back(e.kind, e.path);
    return out;
}

TEST_F(JournalTest, RecordFileCreatesOnlyTheMissingFoldersBeforeItsEntry) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\A", nullptr));
    InstallJournal journal;
    journal.RecordFile(L"C:\\A\\f.txt", 1, false);
    ASSERT_EQ(journal.entries.size(), 1u);
    EXPECT_TRUE(journal.entryOpen);
    const JournalEntry& only = journal.entries.back();
    EXPECT_EQ(only.kind, JournalEntry::file);
    EXPECT_EQ(only.detail, 1);
    EXPECT_EQ(only.succeeded, 0);
    EXPECT_TRUE(only.backupPath.empty());

    journal.CloseEntry(true);
    journal.RecordFile(L"C:\\A\\B\\C\\g.txt", 3, false);
    using P = std::pair<std::int32_t, std::wstring>;
    EXPECT_EQ(kinds_and_paths(journal.entries),
              (std::vector<P>{{JournalEntry::file, L"C:\\A\\f.txt"},
                              {JournalEntry::folder, L"C:\\A\\B"},
                              {JournalEntry::folder, L"C:\\A\\B\\C"},
                              {JournalEntry::file, L"C:\\A\\B\\C\\g.txt"}}));
    auto folder = std::next(journal.entries.begin());
    EXPECT_EQ(folder->succeeded, 1);
    EXPECT_EQ(folder->detail, -1);
    EXPECT_TRUE(journal.entryOpen);
    EXPECT_NE(attributes(L"C:\\A\\B\\C") & FILE_ATTRIBUTE_DIRECTORY, 0u);

    // The shell hears of each folder made.
    std::vector<std::wstring> made;
    for (const auto& n : read_shell_notifications())
        if (n.event == SHCNE_MKDIR)
            made.push_back(n.item1);
    EXPECT_EQ(made, (std::vector<std::wstring>{L"C:\\A\\B", L"C:\\A\\B\\C"}));
}

TEST_F(JournalTest, CreateFoldersStopsAtTheFirstFolderItCannotMake) {
    put_file(L"C:\\A\\x", "a file where a folder should be");
    InstallJournal journal;
    journal.CreateFolders(L"C:\\A\\x\\y\\z");
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_FALSE(exists(L"C:\\A\\x\\y"));
    EXPECT_FALSE(journal.entryOpen);
}

TEST_F(JournalTest, ReadOnlyFileIsMovedAsideAndComesBackWithItsAttribute) {
    put_file(L"C:\\App\\main.exe", "old program", FILE_ATTRIBUTE_READONLY);
    InstallJournal journal;
    journal.RecordFile(L"C:\\App\\main.exe", 1, false);
    const std::wstring backup = journal.entries.back().backupPath;
    ASSERT_EQ(backup_files(), std::vector<std::wstring>{backup});
    EXPECT_FALSE(exists(L"C:\\App\\main.exe"));
    EXPECT_EQ(file_bytes(backup), "old program");
    EXPECT_NE(attributes(backup) & FILE_ATTRIBUTE_READONLY, 0u);

    put_file(L"C:\\App\\main.exe", "new program", FILE_ATTRIBUTE_READONLY);
    journal.CloseEntry(true);
    journal.Rollback();
    EXPECT_EQ(file_bytes(L"C:\\App\\main.exe"), "old program");
    EXPECT_NE(attributes(L"C:\\App\\main.exe") & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(backup_files().empty());
    EXPECT_TRUE(journal.entries.empty());
}

TEST_F(JournalTest, KeptFileIsCopiedAndBothKeepTheirAttributes) {
    const DWORD hidden = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY;
    put_file(L"C:\\Data\\shared.dat", "shared", hidden);
    InstallJournal journal;
    journal.RecordFile(L"C:\\Data\\shared.dat", 3, true);
    const std::wstring backup = journal.entries.back().backupPath;
    ASSERT_FALSE(backup.empty());
    EXPECT_EQ(file_bytes(L"C:\\Data\\shared.dat"), "shared");
    EXPECT_EQ(file_bytes(backup), "shared");
    EXPECT_EQ(attributes(L"C:\\Data\\shared.dat") & hidden, hidden);
    EXPECT_EQ(attributes(backup) & hidden, hidden);
}

TEST_F(JournalTest, NoBackupWithoutAUsableTemporaryFolder) {
    put_file(L"C:\\App\\f.txt", "stays");
    // Over 246 characters leaves no room for a unique name; a missing folder has none.
    const std::wstring deep = L"C:\\" + std::wstring(240, L't') + L"\\";
    for (const std::wstring& temp : {deep, std::wstring(L"C:\\NoSuchTemp\\")}) {
        tm.machine().set_setting("user", "temp_path", to_utf8(temp));
        EXPECT_EQ(MakeBackup(std::nullopt, false), L"");
        EXPECT_EQ(MakeBackup(L"C:\\App\\f.txt", false), L"");
        EXPECT_EQ(file_bytes(L"C:\\App\\f.txt"), "stays");
    }
}

TEST_F(JournalTest, ASecondRecordingLeavesTheFirstEntryFailed) {
    InstallJournal journal;
    journal.CloseEntry(true); // nothing open: nothing happens
    EXPECT_TRUE(journal.entries.empty());

    journal.RecordFile(L"C:\\a.txt", 0, false);
    journal.RecordRegistration();
    journal.CloseEntry(true, L"closed");
    journal.CloseEntry(true, L"again"); // no entry open any more
    ASSERT_EQ(journal.entries.size(), 2u);
    EXPECT_EQ(journal.entries.front().succeeded, 0);
    EXPECT_EQ(journal.entries.front().path, L"C:\\a.txt");
    EXPECT_EQ(journal.entries.back().succeeded, 1);
    EXPECT_EQ(journal.entries.back().path, L"closed");
    EXPECT_FALSE(journal.entryOpen);
}

TEST_F(JournalTest, RollbackUndoesNewestFirst) {
    // Oldest first: folder B, a file in it, folder C in it. Only newest first can remove B.
    ASSERT_TRUE(CreateDirectoryW(L"C:\\A", nullptr));
    InstallJournal journal;
    journal.CreateFolders(L"C:\\A\\B");
    journal.RecordFile(L"C:\\A\\B\\f.txt", 0, false);
    put_file(L"C:\\A\\B\\f.txt", "new", FILE_ATTRIBUTE_READONLY);
    journal.CloseEntry(true);
    journal.CreateFolders(L"C:\\A\\B\\C");
    ASSERT_EQ(journal.entries.size(), 3u);

    journal.Rollback();
    EXPECT_FALSE(exists(L"C:\\A\\B"));
    EXPECT_TRUE(exists(L"C:\\A"));
    EXPECT_TRUE(journal.entries.empty());
    EXPECT_FALSE(journal.entryOpen);
    journal.CloseEntry(true);
    EXPECT_TRUE(journal.entries.empty());
}

TEST_F(JournalTest, RollbackLeavesAFolderThatStillHoldsSomething) {
    InstallJournal journal;
    journal.CreateFolders(L"C:\\A");
    put_file(L"C:\\A\\user.txt", "not ours");
    journal.Rollback();
    EXPECT_EQ(file_bytes(L"C:\\A\\user.txt"), "not ours");
}

TEST_F(JournalTest, ShortcutOfTheEarlierInstallationIsPutAsideAndBack) {
    const std::wstring menu = L"C:\\Menu\\Marquetta 6";
    put_file(menu + L"\\Marquetta 6.04.lnk", "earlier link", FILE_ATTRIBUTE_READONLY);
    InstallJournal journal;
    JournalEntry earlier;
    earlier.kind = JournalEntry::menu_shortcut;
    earlier.path = menu + L"\\Marquetta 6.04.lnk";
    earlier.succeeded = 1;
    journal.previousEntries.push_back(earlier);

    // No earlier desktop link: no backup.
    journal.RecordShortcut(2, L"C:\\Users\\Public\\Desktop");
    EXPECT_EQ(journal.entries.back().kind, JournalEntry::desktop_shortcut);
    EXPECT_TRUE(journal.entries.back().backupPath.empty());
    journal.CloseEntry(false);

    journal.RecordShortcut(0, menu);
    EXPECT_EQ(journal.entries.back().kind, JournalEntry::menu_shortcut);
    EXPECT_TRUE(journal.entries.back().path.empty());
    EXPECT_FALSE(exists(earlier.path));
    EXPECT_EQ(backup_files().size(), 1u);
    put_file(menu + L"\\Marquetta 6.05f.lnk", "new link");
    journal.CloseEntry(true, menu + L"\\Marquetta 6.05f.lnk");

    journal.Rollback();
    EXPECT_FALSE(exists(menu + L"\\Marquetta 6.05f.lnk"));
    EXPECT_EQ(file_bytes(earlier.path), "earlier link");
    EXPECT_NE(attributes(earlier.path) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(backup_files().empty());
    EXPECT_EQ(journal.previousEntries.size(), 1u);
}

TEST_F(JournalTest, AnEarlierShortcutThatIsNoLinkStaysWhereItIs) {
    // A damaged log names a file of the system as the earlier uninstaller shortcut.
    put_file(L"C:\\Windows\\System32\\kernel.dat", "system file");
    InstallJournal journal;
    JournalEntry earlier;
    earlier.kind = JournalEntry::uninstall_shortcut;
    earlier.path = L"C:\\Windows\\System32\\kernel.dat";
    journal.previousEntries.push_back(earlier);
    journal.RecordShortcut(1, L"C:\\Menu");
    EXPECT_TRUE(journal.entries.back().backupPath.empty());
    EXPECT_EQ(file_bytes(earlier.path), "system file");
}

TEST_F(JournalTest, ContainsInstalledFileIsExactAndNeedsSuccess) {
    InstallJournal journal;
    auto add = [&](std::int32_t kind, const wchar_t* path, std::uint8_t ok) {
        JournalEntry e;
        e.kind = kind;
        e.path = path;
        e.succeeded = ok;
        journal.previousEntries.push_back(e);
    };
    add(JournalEntry::file, L"C:\\P\\written.dat", 1);
    add(JournalEntry::file, L"C:\\P\\failed.dat", 0);
    add(JournalEntry::folder, L"C:\\P\\folder", 1);
    EXPECT_TRUE(journal.ContainsInstalledFile(L"C:\\P\\written.dat"));
    EXPECT_FALSE(journal.ContainsInstalledFile(L"C:\\P\\WRITTEN.dat"));
    EXPECT_FALSE(journal.ContainsInstalledFile(L"C:\\P\\failed.dat"));
    EXPECT_FALSE(journal.ContainsInstalledFile(L"C:\\P\\folder"));
    EXPECT_FALSE(journal.ContainsInstalledFile(L"C:\\P\\other.dat"));
}

// ---- the uninstall key -------------------------------------------------------------------

const std::wstring productKeyPath = uninstallKeyPath();

bool privilege_enabled(const wchar_t* name) {
    return token_privilege_enabled(*process_token(), name);
}

TEST_F(JournalTest, RollbackDeletesAKeyThatWasNew) {
    HKEY key = create_key(productKeyPath);
    InstallJournal journal;
    journal.RecordUninstallKey(nullptr);
    EXPECT_TRUE(journal.entries.back().backupPath.empty());
    set_string(key, L"DisplayName", L"Marquetta 6.05f");
    RegCloseKey(create_key(productKeyPath + L"\\Sub\\Deeper"));
    RegCloseKey(key);
    journal.CloseEntry(true);

    journal.Rollback();
    EXPECT_EQ(dump_key(productKeyPath), "<missing>");
    EXPECT_NE(dump_key(uninstallKeyParent), "<missing>");
}

TEST_F(JournalTest, RollbackRestoresAKeyThatExistedExactly) {
    HKEY key = create_key(productKeyPath);
    set_string(key, L"DisplayName", L"Marquetta 6.04");
    set_dword(key, L"DvLanguage", 2);
    HKEY sub = create_key(productKeyPath + L"\\Old");
    set_string(sub, L"Kept", L"yes");
    RegCloseKey(sub);
    const std::string before = dump_key(productKeyPath);

    InstallJournal journal;
    journal.RecordUninstallKey(key);
    const std::wstring backup = journal.entries.back().backupPath;
    ASSERT_FALSE(backup.empty());
    EXPECT_TRUE(exists(backup));
    EXPECT_FALSE(privilege_enabled(L"SeBackupPrivilege"));

    set_string(key, L"DisplayName", L"Marquetta 6.05f");
    set_string(key, L"Added", L"after the save");
    RegDeleteValueW(key, L"DvLanguage");
    RegCloseKey(create_key(productKeyPath + L"\\New"));
    SHDeleteKeyW(key, L"Old");
    RegCloseKey(key);
    journal.CloseEntry(true);
    ASSERT_NE(dump_key(productKeyPath), before);

    journal.Rollback();
    EXPECT_EQ(dump_key(productKeyPath), before);
    EXPECT_FALSE(exists(backup));
    EXPECT_FALSE(privilege_enabled(L"SeRestorePrivilege"));
}

TEST(JournalKeyWithoutPrivilege, AKeyThatCannotBeSavedLeavesNoFileAndIsDeletedOnRollback) {
    // The token does not hold the backup privilege: the save fails.
    dvtest::TempMachine tm({"token.privileges=SeChangeNotifyPrivilege,SeRestorePrivilege"});
    HKEY key = create_key(productKeyPath);
    set_string(key, L"DisplayName", L"Marquetta 6.04");
    InstallJournal journal;
    journal.RecordUninstallKey(key);
    RegCloseKey(key);
    EXPECT_TRUE(journal.entries.back().backupPath.empty());
    EXPECT_TRUE(backup_files().empty());
    journal.Rollback();
    EXPECT_EQ(dump_key(productKeyPath), "<missing>");
}

} // namespace
