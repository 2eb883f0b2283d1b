// Processes: starting a program of the machine, waiting for it and reading its exit code.
//
// A program of the machine is an ELF executable under a Windows name (Marquetta.exe). The
// child works on the same machine (DV_MACHINE) and starts in the Windows working folder it
// was given (DV_CWD); its host working folder is that folder's host path.
#pragma once

#include "win32/handles.h"
#include "win32/types.h"

#include <string>
#include <string_view>
#include <vector>

namespace win32 {

constexpr DWORD STILL_ACTIVE = 259;

// Creation flags.
constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD DETACHED_PROCESS = 0x00000008;
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
constexpr DWORD IDLE_PRIORITY_CLASS = 0x00000040;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080;
constexpr DWORD REALTIME_PRIORITY_CLASS = 0x00000100;
constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x00000200;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x00004000;
constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x00008000;
constexpr DWORD CREATE_DEFAULT_ERROR_MODE = 0x04000000;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;

// STARTUPINFOW flags.
constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
// The size a 32-bit program gives in `cb`; accepted beside sizeof(STARTUPINFOW).
constexpr DWORD STARTUPINFOW_SIZE_32 = 68;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// Starts a program. Without an application name the program is the first item of the command
// line: quoted, or else the shortest run of blank-separated words that names an existing file
// (".exe" added when the name has none), looked up in the current folder, then System32 and
// the Windows folder when it has no folder part. The child receives the command line split by
// the C runtime's rules as its arguments. Priority classes are applied as far as the host lets
// an unprivileged process (it may lower but not raise its priority); the window flags have no
// effect; CREATE_SUSPENDED and STARTF_USESTDHANDLES are refused with ERROR_NOT_SUPPORTED.
BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                    const SECURITY_ATTRIBUTES* process_attributes,
                    const SECURITY_ATTRIBUTES* thread_attributes, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment, LPCWSTR current_directory,
                    STARTUPINFOW* startup_info, PROCESS_INFORMATION* process_information);

// STILL_ACTIVE while the process runs; then its exit code. A host exit status s reads as
// (int8_t)s (a program ending with ExitProcess(-10) reads as -10); a process ended by a
// signal reads as the Windows code of the matching failure (access violation for SIGSEGV,
// 3 for an abort), or as the code given to TerminateProcess.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code);
BOOL TerminateProcess(HANDLE process, UINT exit_code);

DWORD GetCurrentProcessId();
// The pseudo-handle of the calling process.
HANDLE GetCurrentProcess();
// Flushes the C streams and ends the process at once, without static destructors.
[[noreturn]] void ExitProcess(UINT exit_code);

// The command line the process was started with (by CreateProcessW, else rebuilt from its
// arguments), valid for the life of the process.
LPWSTR GetCommandLineW();

// Splits a command line as the C runtime splits it into argv: the first item ends at the
// first blank outside quotes (quotes only group there, backslashes are plain); then blanks
// separate items, quotes group, 2n backslashes
// before a quote give n backslashes, 2n+1 give n and a literal quote, and "" inside quotes
// gives a literal quote.
std::vector<std::wstring> split_command_line(std::wstring_view command_line);

// The same as an array of strings in one LocalAlloc block (freed with LocalFree).
LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count);

} // namespace win32
