// The uninstall log: the journal written as UTF-16LE text for the product's uninstaller, and
// read back when an earlier installation is updated.
#include "journal/journal.h"

#include "app/product.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/locale.h"
#include "win32/text.h"

#include <algorithm>
#include <climits>
#include <map>
#include <set>
#include <vector>

using namespace win32;

namespace {

constexpr wchar_t versionLabel[] = L"Uninstall Log File v";
constexpr wchar_t warningText[] =
    L"############ WARNING: Do not delete or modify this file. ############";
constexpr wchar_t installLabel[] = L"Install";
constexpr wchar_t installPathLabel[] = L"Install Path : ";
constexpr wchar_t shortcutPathLabel[] = L"Shortcut Path : ";
constexpr wchar_t registrationText[] = L"HKEY_CLASSES_ROOT\\...";
constexpr int formatVersion = 1;

// Line limits as read: UTF-16 code units (line end and, on the first line, the byte-order
// mark included), or bytes of 8-bit text.
constexpr std::size_t maxUnitsPerLine = 511;
constexpr std::size_t maxBytesPerLine = 1023;

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

void TrimEnd(std::wstring& text) {
    while (!text.empty() && IsBlank(text.back()))
        text.pop_back();
}

void TrimStart(std::wstring& text) {
    std::size_t n = 0;
    while (n < text.size() && IsBlank(text[n]))
        ++n;
    text.erase(0, n);
}

void Trim(std::wstring& text) {
    TrimEnd(text);
    TrimStart(text);
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (valid())
            CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return h_ && h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    // Closes now; false when the close failed.
    bool close() {
        HANDLE h = h_;
        h_ = nullptr;
        return CloseHandle(h) != FALSE;
    }

private:
    HANDLE h_;
};

// ---- writing ---------------------------------------------------------------------------

std::wstring Padded(unsigned long long value, int base, std::size_t width) {
    static constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value);
    if (text.size() < width)
        text.insert(0, width - text.size(), L'0');
    return text;
}

bool WriteText(HANDLE file, std::wstring_view text) {
    std::string bytes;
    append_utf16le(bytes, text);
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring EntryLine(std::size_t index, const JournalEntry& entry) {
    const auto type = (static_cast<std::uint32_t>(entry.kind) << 8) +
                      (static_cast<std::uint32_t>(entry.detail) & 0xFF);
    return Padded(index, 10, 4) + L":" + Padded(type, 16, 4) + L":" +
           (entry.succeeded ? L"1" : L"0") + L" -- " + entry.path + L"\r\n";
}

// ---- path identity ---------------------------------------------------------------------

// Elements of a path as written: its root, then every non-empty element.
std::vector<std::wstring> Elements(const std::wstring& path) {
    std::vector<std::wstring> out;
    std::size_t pos = 0;
    auto sep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 2 && path[1] == L':') {
        out.push_back(path.substr(0, 2));
        pos = 2;
    }
    if (pos < path.size() && sep(path[pos])) {
        std::size_t end = pos;
        while (end < path.size() && sep(path[end]))
            ++end;
        out.push_back(end - pos >= 2 ? L"\\\\" : L"\\");
        pos = end;
    }
    while (pos < path.size()) {
        std::size_t end = pos;
        while (end < path.size() && !sep(path[end]))
            ++end;
        if (end > pos)
            out.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

struct FileIdentity {
    bool exists = false;
    DWORD volume = 0;
    DWORD indexHigh = 0, indexLow = 0;
    DWORD sizeHigh = 0, sizeLow = 0;
    DWORD writeHigh = 0, writeLow = 0;

    auto operator<=>(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const std::wstring& path) {
    FileIdentity id;
    Handle h(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h.valid() || !GetFileInformationByHandle(h.get(), &info))
        return id;
    id.exists = true;
    id.volume = info.dwVolumeSerialNumber;
    id.indexHigh = info.nFileIndexHigh;
    id.indexLow = info.nFileIndexLow;
    id.sizeHigh = info.nFileSizeHigh;
    id.sizeLow = info.nFileSizeLow;
    id.writeHigh = info.ftLastWriteTime.dwHighDateTime;
    id.writeLow = info.ftLastWriteTime.dwLowDateTime;
    return id;
}

// The full path's elements, "." and ".." resolved.
std::vector<std::wstring> FullElements(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n >= buffer.size()) {
        buffer.resize(n + 1);
        n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(),
                             nullptr);
    }
    if (n == 0 || n >= buffer.size())
        return Elements(path);
    return Elements(std::wstring(buffer.data(), n));
}

bool SameIgnoringCase(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size() || a[i].size() > static_cast<std::size_t>(INT_MAX) ||
            !StrIsIntlEqualW(FALSE, a[i].c_str(), b[i].c_str(), static_cast<int>(a[i].size())))
            return false;
    }
    return true;
}

// What SamePath needs to know of one path, learnt once: its elements as written, its file
// identity, and (asked only when it does not exist) its full path's elements.
class PathFacts {
public:
    struct Facts {
        std::vector<std::wstring> written;
        FileIdentity identity;
        std::optional<std::vector<std::wstring>> full;
    };

    Facts& Get(const std::wstring& path) {
        auto [it, added] = cache_.try_emplace(path);
        if (added) {
            it->second.written = Elements(path);
            it->second.identity = IdentityOf(path);
        }
        return it->second;
    }
    const std::vector<std::wstring>& Full(const std::wstring& path) {
        Facts& facts = Get(path);
        if (!facts.full)
            facts.full = FullElements(path);
        return *facts.full;
    }

    bool Same(const std::wstring& a, const std::wstring& b) {
        const Facts& fa = Get(a);
        const Facts& fb = Get(b);
        if (fa.written == fb.written)
            return true;
        if (fa.identity.exists || fb.identity.exists)
            return fa.identity.exists && fb.identity.exists && fa.identity == fb.identity;
        return SameIgnoringCase(Full(a), Full(b));
    }

private:
    std::map<std::wstring, Facts> cache_;
};

// The paths of one kind of entry, so that "does any of them name the same as this path" takes
// one look per rule instead of a SamePath with each: elements as written, file identity
// (for paths that exist), full path ignoring case (for paths that do not, grouped by the
// lengths of their elements, which the comparison needs equal).
class PathSet {
public:
    explicit PathSet(PathFacts& facts) : facts_(facts) {}

    // The file system is asked about the paths only when some path is not found by its
    // elements as written, which in an update is rare: most files keep their paths.
    void Add(const std::wstring& path) {
        written_.insert(Elements(path));
        pending_.push_back(path);
    }

    bool ContainsSame(const std::wstring& path) {
        if (written_.count(Elements(path)))
            return true;
        for (const std::wstring& added : pending_) {
            const PathFacts::Facts& f = facts_.Get(added);
            if (f.identity.exists) {
                identities_.insert(f.identity);
            } else {
                const auto& full = facts_.Full(added);
                missing_[Lengths(full)].push_back(full);
            }
        }
        pending_.clear();
        const PathFacts::Facts& f = facts_.Get(path);
        if (f.identity.exists)
            return identities_.count(f.identity) != 0;
        const auto& full = facts_.Full(path);
        auto bucket = missing_.find(Lengths(full));
        if (bucket == missing_.end())
            return false;
        return std::any_of(bucket->second.begin(), bucket->second.end(),
                           [&](const auto& other) { return SameIgnoringCase(full, other); });
    }

private:
    static std::vector<std::size_t> Lengths(const std::vector<std::wstring>& elements) {
        std::vector<std::size_t> out;
        for (const auto& e : elements)
            out.push_back(e.size());
        return out;
    }

    PathFacts& facts_;
    std::set<std::vector<std::wstring>> written_;
    std::vector<std::wstring> pending_;
    std::set<FileIdentity> identities_;
    std::map<std::vector<std::size_t>, std::vector<std::vector<std::wstring>>> missing_;
};

// ---- reading ---------------------------------------------------------------------------

// Reads the log line by line; ends at the end of the file, at a read error, or at a line
// over the limit.
class LineReader {
public:
    explicit LineReader(HANDLE file) : file_(file) {}

    enum class Result { line, end, failed };

    // One line as the program sees it: UTF-16 code units converted to text, or 8-bit text
    // converted from the ANSI code page; cut at a NUL as a string buffer would be.
    Result Next(std::wstring& line) {
        line.clear();
        if (first_) {
            first_ = false;
            int b0 = Byte(), b1 = b0 < 0 ? -1 : Byte();
            if (failed_)
                return Result::failed;
            if (b0 == 0xFF && b1 == 0xFE) {
                utf16_ = true;
                boms_ = 1;
            } else {
                Unget(b0, b1);
            }
        }
        Result r = utf16_ ? NextUtf16(line) : NextAnsi(line);
        boms_ = 0;
        if (r != Result::line)
            return r;
        auto nul = line.find(L'\0');
        if (nul != std::wstring::npos)
            line.resize(nul);
        return r;
    }

    bool AtEnd() {
        if (!pending_.empty() || pos_ < len_)
            return false;
        return !Fill();
    }

private:
    Result NextUtf16(std::wstring& line) {
        std::u16string units;
        std::size_t count = boms_;
        for (;;) {
            int lo = Byte();
            int hi = lo < 0 ? -1 : Byte();
            if (failed_)
                return Result::failed;
            if (hi < 0) // end of the file (a lone last byte is no code unit)
                break;
            auto unit = static_cast<char16_t>(lo | (hi << 8));
            units.push_back(unit);
            if (unit == u'\n')
                break;
            if (++count == maxUnitsPerLine && !AtEnd())
                return Result::failed; // over-long: nothing of it may pass for a line
        }
        if (units.empty())
            return Result::end;
        line = from_utf16(units);
        return Result::line;
    }

    Result NextAnsi(std::wstring& line) {
        std::string bytes;
        for (;;) {
            int b = Byte();
            if (failed_)
                return Result::failed;
            if (b < 0)
                break;
            bytes.push_back(static_cast<char>(b));
            if (b == '\n')
                break;
            if (bytes.size() == maxBytesPerLine && !AtEnd())
                return Result::failed; // over-long: nothing of it may pass for a line
        }
        if (failed_)
            return Result::failed;
        if (bytes.empty())
            return Result::end;
        int n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes.data(),
                                    static_cast<int>(bytes.size()), nullptr, 0);
        if (n <= 0)
            return Result::failed;
        std::vector<wchar_t> wide(static_cast<std::size_t>(n));
        n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes.data(),
                                static_cast<int>(bytes.size()), wide.data(), n);
        if (n <= 0)
            return Result::failed;
        line.assign(wide.data(), static_cast<std::size_t>(n));
        return Result::line;
    }

    bool Fill() {
        if (eof_ || failed_)
            return false;
        DWORD got = 0;
        if (!ReadFile(file_, buffer_, sizeof buffer_, &got, nullptr)) {
            failed_ = true;
            return false;
        }
        if (got == 0) {
            eof_ = true;
            return false;
        }
        pos_ = 0;
        len_ = got;
        return true;
    }

    int Byte() {
        if (!pending_.empty()) {
            int b = pending_.back();
            pending_.pop_back();
            return b;
        }
        if (pos_ == len_ && !Fill())
            return -1;
        return static_cast<unsigned char>(buffer_[pos_++]);
    }

    void Unget(int b0, int b1) {
        if (b1 >= 0)
            pending_.push_back(b1);
        if (b0 >= 0)
            pending_.push_back(b0);
    }

    HANDLE file_;
    char buffer_[16384];
    std::size_t pos_ = 0, len_ = 0;
    std::vector<int> pending_;
    bool first_ = true, utf16_ = false, eof_ = false, failed_ = false;
    std::size_t boms_ = 0;
};

// Reads unsigned decimal digits (after optional blanks and a sign); false when there are
// none or the value is negative. Saturates instead of overflowing.
bool ReadDecimal(std::wstring_view text, std::size_t& pos, long long& value) {
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-'))
        negative = text[pos++] == L'-';
    std::size_t start = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
        value = std::min<long long>(value * 10 + (text[pos] - L'0'), INT_MAX);
        ++pos;
    }
    if (pos == start)
        return false;
    if (negative)
        value = -value;
    return true;
}

bool ReadHex(std::wstring_view text, std::size_t& pos, unsigned long long& value) {
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    auto digit = [&](std::size_t at) -> int {
        if (at >= text.size())
            return -1;
        wchar_t c = text[at];
        return c >= L'0' && c <= L'9'   ? c - L'0'
               : c >= L'a' && c <= L'f' ? c - L'a' + 10
               : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                        : -1;
    };
    // A "0x" prefix is allowed, as a hexadecimal conversion of the C library allows it.
    if (digit(pos) == 0 && pos + 1 < text.size() &&
        (text[pos + 1] == L'x' || text[pos + 1] == L'X') && digit(pos + 2) >= 0)
        pos += 2;
    std::size_t start = pos;
    value = 0;
    for (; digit(pos) >= 0; ++pos) {
        int d = digit(pos);
        value = std::min<unsigned long long>(value * 16 + d, 0xFFFFFFFFull);
    }
    return pos > start;
}

bool ReadChar(std::wstring_view text, std::size_t& pos, wchar_t c) {
    while (pos < text.size() && IsBlank(text[pos]))
        ++pos;
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

bool ParseEntry(std::wstring_view line, JournalEntry& entry) {
    std::size_t pos = 0;
    long long index = 0;
    unsigned long long type = 0;
    if (!ReadDecimal(line, pos, index) || index < 0 || !ReadChar(line, pos, L':') ||
        !ReadHex(line, pos, type) || !ReadChar(line, pos, L':'))
        return false;
    const unsigned long long kind = type >> 8;
    if (kind > JournalEntry::directx_setup)
        return false;
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    if (pos >= line.size() || (line[pos] != L'0' && line[pos] != L'1'))
        return false;
    const bool succeeded = line[pos++] == L'1';
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;
    std::size_t word = pos;
    while (pos < line.size() && !IsBlank(line[pos]))
        ++pos;
    if (line.substr(word, pos - word) != L"--")
        return false;
    while (pos < line.size() && IsBlank(line[pos]))
        ++pos;

    entry.kind = static_cast<std::int32_t>(kind);
    const auto detail = static_cast<std::int32_t>(type & 0xFF);
    entry.detail = detail == 0xFF ? -1 : detail;
    entry.succeeded = succeeded ? 1 : 0;
    if (kind != JournalEntry::uninstall_key && kind != JournalEntry::registration)
        entry.path = std::wstring(line.substr(pos));
    return true;
}

// The text after a header label, trimmed; nothing when the label is missing. Our own log
// writes "Shortcut Path : " with nothing after it when there is no shortcut folder, and
// reading drops that trailing blank: such a line still carries the label.
std::optional<std::wstring> AfterLabel(const std::wstring& text, std::wstring_view label) {
    std::size_t at = text.find(label);
    std::wstring rest;
    if (at != std::wstring::npos) {
        rest = text.substr(at + label.size());
    } else {
        std::wstring_view bare = label.substr(0, label.size() - 1);
        if (!(label.back() == L' ' && text.size() >= bare.size() &&
              std::wstring_view(text).substr(text.size() - bare.size()) == bare))
            return std::nullopt;
    }
    Trim(rest);
    return rest;
}

bool IsExistingFolder(const std::wstring& path) {
    if (path.empty())
        return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

bool SamePath(const std::wstring& a, const std::wstring& b) {
    PathFacts facts;
    return facts.Same(a, b);
}

bool InstallJournal::WriteLog(const std::wstring& logPath, const std::wstring& installFolder,
                              const std::wstring& shortcutFolder) {
    // Earlier records go in front, unless this installation has one that supersedes them;
    // taking them newest first keeps only the newest of several alike.
    PathFacts facts;
    PathSet folders(facts), files(facts);
    std::map<std::int32_t, std::size_t> kinds;
    auto add = [&](const JournalEntry& e) {
        if (e.kind == JournalEntry::folder)
            folders.Add(e.path);
        else if (e.kind == JournalEntry::file)
            files.Add(e.path);
        ++kinds[e.kind];
    };
    if (!previousEntries.empty())
        for (const JournalEntry& e : entries)
            add(e);
    while (!previousEntries.empty()) {
        auto earlier = std::prev(previousEntries.end());
        bool superseded;
        if (earlier->kind == JournalEntry::folder)
            superseded = folders.ContainsSame(earlier->path);
        else if (earlier->kind == JournalEntry::file)
            superseded = files.ContainsSame(earlier->path);
        else
            superseded = kinds[earlier->kind] != 0;
        if (superseded) {
            previousEntries.erase(earlier);
        } else {
            add(*earlier);
            entries.splice(entries.begin(), previousEntries, earlier);
        }
    }

    bool ok = false;
    SetFileAttributesW(logPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    Handle file(CreateFileW(logPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid()) {
        ok = true;
        const char bom[2] = {'\xFF', '\xFE'};
        DWORD written = 0;
        ok &= WriteFile(file.get(), bom, 2, &written, nullptr) && written == 2;

        std::wstring title = std::wstring(installLabel) + L" " + productTitle();
        if (!previousTitle.empty())
            title += L" -- Update (" + previousTitle + L")";
        const std::wstring shortcutLine = shortcutPathLabel + shortcutFolder;
        const std::wstring header[] = {
            versionLabel + std::to_wstring(formatVersion),
            warningText,
            title,
            installPathLabel + installFolder,
            shortcutLine,
            std::wstring(to_utf16(shortcutLine).size(), L'-'),
        };
        for (const auto& line : header)
            ok &= WriteText(file.get(), L"// " + line + L"\r\n");

        std::size_t index = 0;
        for (JournalEntry& entry : entries) {
            if (entry.kind == JournalEntry::uninstall_key)
                entry.path = L"HKEY_LOCAL_MACHINE\\" + uninstallKeyPath();
            else if (entry.kind == JournalEntry::registration)
                entry.path = registrationText;
            ok &= WriteText(file.get(), EntryLine(index++, entry));
        }
        file.close();
        SetFileAttributesW(logPath.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE |
                                                FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    }

    for (JournalEntry& entry : entries) {
        if (entry.backupPath.empty())
            continue;
        SetFileAttributesW(entry.backupPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(entry.backupPath.c_str());
        entry.backupPath.clear();
        entry.backupOrigin.clear();
    }
    return ok;
}

void InstallJournal::ReadLog(const std::optional<std::wstring>& logPath) {
    previousInstallPath.clear();
    previousShortcutPath.clear();
    if (!logPath)
        return;
    Handle file(CreateFileW(logPath->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return;

    LineReader reader(file.get());
    long long version = 0;
    int lineNumber = 0;
    std::wstring line;
    for (;;) {
        auto result = reader.Next(line);
        if (result != LineReader::Result::line)
            return;
        if (!line.empty()) {
            TrimEnd(line);
            if (line.compare(0, 2, L"//") != 0) {
                if (version != formatVersion)
                    return;
                JournalEntry entry;
                if (!ParseEntry(line, entry))
                    return;
                previousEntries.push_back(std::move(entry));
            } else {
                std::size_t start = line.find_first_not_of(L'/');
                std::wstring text = start == std::wstring::npos ? L"" : line.substr(start);
                TrimStart(text);
                switch (lineNumber) {
                case 0: {
                    std::size_t at = text.find(versionLabel);
                    if (at != std::wstring::npos) {
                        std::size_t pos = at + std::wstring_view(versionLabel).size();
                        long long read = 0;
                        if (ReadDecimal(text, pos, read))
                            version = read;
                    }
                    if (version != formatVersion)
                        return;
                    break;
                }
                case 2: {
                    std::size_t at = text.find(installLabel);
                    if (at == std::wstring::npos)
                        return;
                    text.erase(at, std::wstring_view(installLabel).size());
                    std::size_t dashes = text.find(L"--");
                    if (dashes != std::wstring::npos)
                        text.resize(dashes);
                    Trim(text);
                    previousTitle = text;
                    break;
                }
                case 3:
                case 4: {
                    auto rest =
                        AfterLabel(text, lineNumber == 3 ? installPathLabel : shortcutPathLabel);
                    if (!rest)
                        return;
                    if (IsExistingFolder(*rest))
                        (lineNumber == 3 ? previousInstallPath : previousShortcutPath) = *rest;
                    break;
                }
                default:
                    break;
                }
            }
            ++lineNumber;
        }
        if (reader.AtEnd())
            return;
    }
}
