#include "journal/journal.h"

#include "app/product.h"
#include "dv/security.h"
#include "win32/files.h"
#include "win32/registry.h"
#include "win32/shellnotify.h"

#include <algorithm>

using namespace win32;

namespace {

// Operations copy a path into a MAX_PATH working buffer; a longer one is cut.
std::wstring WorkingCopy(const std::wstring& path) {
    std::wstring copy = path.substr(0, MAX_PATH - 1);
    // A path never holds a NUL; a buffer would end there.
    auto nul = copy.find(L'\0');
    if (nul != std::wstring::npos)
        copy.resize(nul);
    return copy;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Length of the root that CreateFolders never examines: "C:\", "C:", "\\server\share\", "\".
std::size_t RootLength(const std::wstring& path) {
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        std::size_t pos = 2;
        for (int part = 0; part < 2 && pos < path.size(); ++part) {
            while (pos < path.size() && !IsSeparator(path[pos]))
                ++pos;
            if (pos < path.size())
                ++pos;
        }
        return pos;
    }
    if (path.size() >= 2 && path[1] == L':')
        return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
    if (!path.empty() && IsSeparator(path[0]))
        return 1;
    return 0;
}

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Only a shell link is ever taken aside as an earlier shortcut: the earlier path comes from a
// log file, and a damaged one must not make the installer move (and, once the installation
// is done, delete) any other file.
bool IsLinkFile(const std::wstring& path) {
    constexpr std::wstring_view ext = L".lnk";
    if (path.size() <= ext.size())
        return false;
    for (std::size_t i = 0; i < ext.size(); ++i) {
        wchar_t c = path[path.size() - ext.size() + i];
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != ext[i])
            return false;
    }
    return true;
}

constexpr wchar_t backupPrivilege[] = L"SeBackupPrivilege";
constexpr wchar_t restorePrivilege[] = L"SeRestorePrivilege";

void RollbackUninstallKey(const JournalEntry& entry) {
    dv::enable_privilege(restorePrivilege, true);
    HKEY uninstall = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstallKeyParent, 0, KEY_ALL_ACCESS, &uninstall) ==
        ERROR_SUCCESS) {
        const std::wstring name = productDisplayName();
        if (!entry.backupPath.empty()) {
            HKEY product = nullptr;
            if (RegOpenKeyExW(uninstall, name.c_str(), 0, KEY_ALL_ACCESS, &product) ==
                ERROR_SUCCESS) {
                RegRestoreKeyW(product, entry.backupPath.c_str(), 0);
                RegCloseKey(product);
            }
            DeleteFileW(entry.backupPath.c_str());
        } else {
            SHDeleteKeyW(uninstall, name.c_str());
        }
        RegCloseKey(uninstall);
    }
    dv::enable_privilege(restorePrivilege, false);
}

void RollbackFile(const JournalEntry& entry) {
    if (!entry.path.empty()) {
        SetFileAttributesW(entry.path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(entry.path.c_str());
    }
    if (entry.backupPath.empty())
        return;
    // A shortcut's backup is the earlier installation's link, which goes back where it was
    // (the new link may have another name, or none yet when its step never closed).
    const std::wstring& target = entry.backupOrigin.empty() ? entry.path : entry.backupOrigin;
    DWORD attributes = GetFileAttributesW(entry.backupPath.c_str());
    SetFileAttributesW(entry.backupPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    MoveFileW(entry.backupPath.c_str(), target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(target.c_str(), attributes);
}

} // namespace

JournalEntry& InstallJournal::Append(std::int32_t kind) {
    JournalEntry& entry = entries.emplace_back();
    entry.kind = kind;
    return entry;
}

void InstallJournal::RecordFile(const std::wstring& path, std::uint32_t packageKind,
                                bool keepInPlace) {
    entryOpen = true;
    std::wstring folder = WorkingCopy(path);
    std::size_t root = RootLength(folder);
    std::size_t cut = folder.size();
    while (cut > root && !IsSeparator(folder[cut - 1]))
        --cut;
    while (cut > root && IsSeparator(folder[cut - 1]))
        --cut;
    folder.resize(cut);
    CreateFolders(folder);

    JournalEntry& entry = Append(JournalEntry::file);
    entry.path = path;
    entry.detail = static_cast<std::int32_t>(packageKind);
    if (FileExists(path))
        entry.backupPath = MakeBackup(path, keepInPlace);
}

void InstallJournal::RecordShortcut(int which, const std::wstring& folder) {
    entryOpen = true;
    CreateFolders(folder);
    const std::int32_t kind = which == 0   ? JournalEntry::menu_shortcut
                              : which == 1 ? JournalEntry::uninstall_shortcut
                                           : JournalEntry::desktop_shortcut;
    JournalEntry& entry = Append(kind);
    auto earlier = std::find_if(previousEntries.begin(), previousEntries.end(),
                                [&](const JournalEntry& e) { return e.kind == kind; });
    if (earlier != previousEntries.end() && IsLinkFile(earlier->path) &&
        FileExists(earlier->path)) {
        entry.backupPath = MakeBackup(earlier->path, false);
        if (!entry.backupPath.empty())
            entry.backupOrigin = earlier->path;
    }
}

void InstallJournal::RecordUninstallKey(HKEY existingKey) {
    entryOpen = true;
    JournalEntry& entry = Append(JournalEntry::uninstall_key);
    if (!existingKey)
        return;
    entry.backupPath = MakeBackup(std::nullopt, false);
    if (entry.backupPath.empty())
        return;
    dv::enable_privilege(backupPrivilege, true);
    if (RegSaveKeyW(existingKey, entry.backupPath.c_str(), nullptr) != ERROR_SUCCESS) {
        SetFileAttributesW(entry.backupPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(entry.backupPath.c_str());
        entry.backupPath.clear();
    }
    dv::enable_privilege(backupPrivilege, false);
}

void InstallJournal::RecordRegistration() {
    entryOpen = true;
    Append(JournalEntry::registration);
}

void InstallJournal::RecordDirectXSetup() {
    entryOpen = true;
    Append(JournalEntry::directx_setup);
}

void InstallJournal::CloseEntry(bool succeeded, const std::optional<std::wstring>& path) {
    if (!entryOpen || entries.empty())
        return;
    entryOpen = false;
    JournalEntry& entry = entries.back();
    entry.succeeded = succeeded ? 1 : 0;
    if (path)
        entry.path = *path;
}

void InstallJournal::CreateFolders(const std::wstring& path) {
    const std::wstring buffer = WorkingCopy(path);
    std::size_t pos = RootLength(buffer);
    while (pos < buffer.size()) {
        std::size_t end = pos;
        while (end < buffer.size() && !IsSeparator(buffer[end]))
            ++end;
        if (end > pos) {
            const std::wstring prefix = buffer.substr(0, end);
            if (!IsFolder(prefix)) {
                if (!CreateDirectoryW(prefix.c_str(), nullptr))
                    return;
                SHChangeNotify(SHCNE_MKDIR, SHCNF_PATHW, prefix.c_str(), nullptr);
                JournalEntry& entry = Append(JournalEntry::folder);
                entry.path = prefix;
                entry.succeeded = 1;
            }
        }
        pos = end + 1;
    }
}

bool InstallJournal::ContainsInstalledFile(const std::wstring& path) const {
    return std::any_of(previousEntries.begin(), previousEntries.end(), [&](const JournalEntry& e) {
        return e.kind == JournalEntry::file && e.succeeded == 1 && e.path == path;
    });
}

void InstallJournal::Rollback() {
    while (!entries.empty()) {
        const JournalEntry& entry = entries.back();
        switch (entry.kind) {
        case JournalEntry::folder:
            RemoveDirectoryW(entry.path.c_str());
            break;
        case JournalEntry::uninstall_key:
            RollbackUninstallKey(entry);
            break;
        case JournalEntry::file:
        case JournalEntry::menu_shortcut:
        case JournalEntry::uninstall_shortcut:
        case JournalEntry::desktop_shortcut:
            RollbackFile(entry);
            break;
        default: // the registration run and the DirectX setup cannot be undone
            break;
        }
        entries.pop_back();
    }
    entryOpen = false;
}

std::wstring MakeBackup(const std::optional<std::wstring>& file, bool copy) {
    wchar_t folder[MAX_PATH] = {};
    DWORD length = GetTempPathW(MAX_PATH, folder);
    // GetTempFileNameW needs room for the prefix, four digits and ".tmp" within MAX_PATH.
    if (length == 0 || length > MAX_PATH - 14)
        return {};
    wchar_t name[MAX_PATH] = {};
    if (GetTempFileNameW(folder, L"dv", 0, name) == 0)
        return {};
    DeleteFileW(name);
    if (!file)
        return name;

    const DWORD attributes = GetFileAttributesW(file->c_str());
    const bool known = attributes != INVALID_FILE_ATTRIBUTES;
    SetFileAttributesW(file->c_str(), FILE_ATTRIBUTE_NORMAL);
    if (copy) {
        if (CopyFileW(file->c_str(), name, FALSE)) {
            if (known) {
                SetFileAttributesW(file->c_str(), attributes);
                SetFileAttributesW(name, attributes);
            }
            return name;
        }
    } else if (MoveFileW(file->c_str(), name)) {
        if (known)
            SetFileAttributesW(name, attributes);
        return name;
    }
    if (known)
        SetFileAttributesW(file->c_str(), attributes);
    return {};
}
