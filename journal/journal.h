// The installation journal: every change the installation makes to the machine, in the
// order it happens, with the outcome of its step and a backup of what it replaced. It undoes
// a failed installation (Rollback), becomes the uninstall log of a completed one (WriteLog),
// and carries the records of an earlier installation read from its log (ReadLog).
#pragma once

#include "win32/types.h"

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>

struct JournalEntry {
    enum Kind : std::int32_t {
        folder = 0,
        file = 1,
        menu_shortcut = 2,
        uninstall_shortcut = 3,
        desktop_shortcut = 4,
        uninstall_key = 5,
        registration = 6,
        directx_setup = 7,
    };

    std::int32_t kind = folder;
    std::wstring path;       // what was changed; may be empty
    std::wstring backupPath; // temporary backup of what was there before; empty for none
    std::uint8_t succeeded = 0;
    std::int32_t detail = -1; // package entry kind of a file; -1 otherwise
    // Where a shortcut's backup was taken from (the earlier installation's link), when that
    // is not `path`; kept in memory only, for the rollback.
    std::wstring backupOrigin;
};

// Entries are appended at the end, walked newest first, and earlier records are moved to the
// front: a doubly linked list, oldest first.
using JournalList = std::list<JournalEntry>;

class InstallJournal {
public:
    InstallJournal() = default;
    // The journal owns its backup files; a copy would delete or restore them twice.
    InstallJournal(const InstallJournal&) = delete;
    InstallJournal& operator=(const InstallJournal&) = delete;

    // Just before a package file is written, or for an existing file kept as it is. Creates
    // the missing folders (journaled), opens a `file` entry and puts an existing file aside:
    // copied when `keepInPlace`, else moved.
    void RecordFile(const std::wstring& path, std::uint32_t packageKind, bool keepInPlace);
    // Just before a shortcut is made: `which` 0 is the menu shortcut to the program, 1 the
    // menu shortcut to the uninstaller, anything else the desktop shortcut. The earlier
    // installation's link of the same kind is moved aside.
    void RecordShortcut(int which, const std::wstring& folder);
    // Right after the product's uninstall key was created or opened; `existingKey` is the
    // open key when it existed before (saved to a hive file), else null.
    void RecordUninstallKey(win32::HKEY existingKey);
    void RecordRegistration();
    void RecordDirectXSetup();
    // Sets the outcome (and, when given, the path) of the open entry; nothing when none is
    // open.
    void CloseEntry(bool succeeded, const std::optional<std::wstring>& path = std::nullopt);
    // Creates the missing folders of `path`, one closed `folder` entry each; stops at the
    // first that cannot be created.
    void CreateFolders(const std::wstring& path);
    // Whether the earlier installation wrote this file successfully (exact, case-sensitive).
    bool ContainsInstalledFile(const std::wstring& path) const;
    // Undoes every entry, newest first; no failure stops it. The earlier records stay.
    void Rollback();

    // Loads an earlier uninstall log; without a path only the two folders are cleared.
    void ReadLog(const std::optional<std::wstring>& logPath);
    // Merges the earlier records, writes the uninstall log and deletes every backup (also
    // when writing fails). True when the file was created and every write succeeded.
    bool WriteLog(const std::wstring& logPath, const std::wstring& installFolder,
                  const std::wstring& shortcutFolder);

    std::wstring previousInstallPath;
    std::wstring previousShortcutPath;
    JournalList previousEntries;
    JournalList entries;
    bool entryOpen = false;
    std::wstring previousTitle;

private:
    JournalEntry& Append(std::int32_t kind);
};

// Puts `file` aside in the temporary folder under a fresh "dv" name (copied or moved, its
// attributes kept) and returns the backup's path; without a file, returns a fresh name only.
// Empty when no backup could be made.
std::wstring MakeBackup(const std::optional<std::wstring>& file, bool copy);

// Whether two paths name the same file or folder: the same elements as written, else the
// same object on disk, else (when neither exists) the same full path ignoring case.
bool SamePath(const std::wstring& a, const std::wstring& b);
