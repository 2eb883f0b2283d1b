// Shell change notifications. Nothing on the host listens to them, so each one is appended
// to a log of the machine ("shell/notifications.log") that tests and dvmachine read.
#pragma once

#include "win32/types.h"

#include <string>
#include <vector>

namespace win32 {

constexpr LONG SHCNE_RENAMEITEM = 0x00000001;
constexpr LONG SHCNE_CREATE = 0x00000002;
constexpr LONG SHCNE_DELETE = 0x00000004;
constexpr LONG SHCNE_MKDIR = 0x00000008;
constexpr LONG SHCNE_RMDIR = 0x00000010;
constexpr LONG SHCNE_ATTRIBUTES = 0x00000800;
constexpr LONG SHCNE_UPDATEDIR = 0x00001000;
constexpr LONG SHCNE_UPDATEITEM = 0x00002000;
constexpr LONG SHCNE_RENAMEFOLDER = 0x00020000;
constexpr LONG SHCNE_UPDATEIMAGE = 0x00008000;
constexpr LONG SHCNE_ASSOCCHANGED = 0x08000000;

constexpr UINT SHCNF_IDLIST = 0x0000;
constexpr UINT SHCNF_PATHA = 0x0001;
constexpr UINT SHCNF_DWORD = 0x0003;
constexpr UINT SHCNF_PATHW = 0x0005;
constexpr UINT SHCNF_TYPE = 0x00FF;
constexpr UINT SHCNF_FLUSH = 0x1000;
constexpr UINT SHCNF_FLUSHNOWAIT = 0x3000;

void SHChangeNotify(LONG event, UINT flags, LPCVOID item1, LPCVOID item2);

// One line of the log.
struct ShellNotification {
    std::string time; // UTC, "2026-12-11T06:30:00Z"
    DWORD process_id = 0;
    LONG event = 0;
    UINT flags = 0;
    std::wstring item1, item2; // paths or numbers as text; "" for none
};

// The notifications recorded in the current machine, oldest first.
std::vector<ShellNotification> read_shell_notifications();
// The name of an event ("ASSOCCHANGED"), or its number in hexadecimal.
std::string shell_event_name(LONG event);

} // namespace win32
