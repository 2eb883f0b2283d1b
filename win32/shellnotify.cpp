#include "win32/shellnotify.h"

#include "win32/machine.h"
#include "win32/text.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace win32 {

namespace {

std::filesystem::path log_path() {
    return Machine::current().state_dir("shell") / "notifications.log";
}

std::wstring item_text(UINT type, LPCVOID item) {
    if (!item)
        return {};
    switch (type) {
    case SHCNF_PATHW:
        return static_cast<const wchar_t*>(item);
    case SHCNF_PATHA:
        return from_utf8(static_cast<const char*>(item));
    case SHCNF_DWORD:
        return std::to_wstring(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(item)));
    default:
        return L"(item list)";
    }
}

// Tabs and line breaks would split the record.
std::string field(const std::wstring& text) {
    std::string out = to_utf8(text);
    for (auto& c : out)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return out;
}

} // namespace

std::string shell_event_name(LONG event) {
    static const std::pair<LONG, const char*> names[] = {
        {SHCNE_RENAMEITEM, "RENAMEITEM"},
        {SHCNE_CREATE, "CREATE"},
        {SHCNE_DELETE, "DELETE"},
        {SHCNE_MKDIR, "MKDIR"},
        {SHCNE_RMDIR, "RMDIR"},
        {SHCNE_ATTRIBUTES, "ATTRIBUTES"},
        {SHCNE_UPDATEDIR, "UPDATEDIR"},
        {SHCNE_UPDATEITEM, "UPDATEITEM"},
        {SHCNE_RENAMEFOLDER, "RENAMEFOLDER"},
        {SHCNE_UPDATEIMAGE, "UPDATEIMAGE"},
        {SHCNE_ASSOCCHANGED, "ASSOCCHANGED"},
    };
    for (auto [value, name] : names)
        if (value == event)
            return name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(event));
    return buf;
}

void SHChangeNotify(LONG event, UINT flags, LPCVOID item1, LPCVOID item2) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "\t%d\t0x%08X\t0x%04X\t", static_cast<int>(::getpid()),
                  static_cast<unsigned>(event), flags);
    UINT type = flags & SHCNF_TYPE;
    std::string line = when + std::string(numbers) + field(item_text(type, item1)) + "\t" +
                       field(item_text(type, item2)) + "\n";
    // One write of an O_APPEND file: lines of several processes never interleave.
    int fd = ::open(log_path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return; // like the shell's, this call has no way to report a failure
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
    ::close(fd);
}

std::vector<ShellNotification> read_shell_notifications() {
    std::vector<ShellNotification> out;
    std::string text;
    if (!read_whole_file(log_path(), text))
        return out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::size_t pos = 0;
        for (;;) {
            auto tab = line.find('\t', pos);
            f.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
            if (tab == std::string::npos)
                break;
            pos = tab + 1;
        }
        if (f.size() != 6)
            continue;
        ShellNotification n;
        n.time = f[0];
        n.process_id = static_cast<DWORD>(std::strtoul(f[1].c_str(), nullptr, 10));
        n.event = static_cast<LONG>(std::strtoul(f[2].c_str(), nullptr, 16));
        n.flags = static_cast<UINT>(std::strtoul(f[3].c_str(), nullptr, 16));
        n.item1 = from_utf8(f[4]);
        n.item2 = from_utf8(f[5]);
        out.push_back(std::move(n));
    }
    return out;
}

} // namespace win32
