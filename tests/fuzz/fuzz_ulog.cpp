// Arbitrary bytes as an uninstall log: reading never crashes or hangs, never changes the
// file, keeps only entries of the known kinds, and what it keeps writes back to a log that
// reads to the same entries.
#include "journal/journal.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace win32;

namespace {

const wchar_t* const logPath = L"C:\\fuzz.ulog";
const wchar_t* const againPath = L"C:\\fuzz-again.ulog";

bool write_file(const wchar_t* path, const std::string& bytes) {
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    HANDLE h =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(h);
    return ok;
}

std::string read_file(const wchar_t* path) {
    std::string out;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        std::abort();
    char buf[8192];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

bool same(const JournalEntry& a, const JournalEntry& b) {
    return a.kind == b.kind && a.path == b.path && a.succeeded == b.succeeded &&
           a.detail == b.detail;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!write_file(logPath, bytes))
        std::abort();

    InstallJournal journal;
    journal.ReadLog(std::wstring(logPath));
    if (read_file(logPath) != bytes)
        std::abort();
    if (!journal.entries.empty() || journal.entryOpen)
        std::abort();
    bool fits = to_utf16(journal.previousTitle).size() < 400;
    for (const JournalEntry& e : journal.previousEntries) {
        if (e.kind < JournalEntry::folder || e.kind > JournalEntry::directx_setup)
            std::abort();
        if (e.detail < -1 || e.detail > 254 || e.succeeded > 1 || !e.backupPath.empty())
            std::abort();
        if ((e.kind == JournalEntry::uninstall_key || e.kind == JournalEntry::registration) &&
            !e.path.empty())
            std::abort();
        // A path keeps its inner blanks but never begins or ends with one, and holds no NUL.
        if (!e.path.empty() && (e.path.front() == L' ' || e.path.back() == L' ' ||
                                e.path.find(L'\0') != std::wstring::npos))
            std::abort();
        // Entry lines of the written log must stay within the reader's line limit.
        fits = fits && to_utf16(e.path).size() < 400;
    }

    // Written back as records of an installation and read again: the same entries.
    if (fits && journal.previousEntries.size() < 2000) {
        InstallJournal copy;
        copy.previousTitle = journal.previousTitle;
        copy.entries = journal.previousEntries;
        if (!copy.WriteLog(againPath, L"C:\\", L"C:\\"))
            std::abort();
        InstallJournal back;
        back.ReadLog(std::wstring(againPath));
        if (back.previousEntries.size() != journal.previousEntries.size())
            std::abort();
        auto it = back.previousEntries.begin();
        for (const JournalEntry& e : journal.previousEntries)
            if (!same(e, *it++))
                std::abort();
    }
    return 0;
}
