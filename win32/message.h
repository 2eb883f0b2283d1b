// Message formatting: the system's texts for error codes and HRESULTs, and the insertion
// rules of message strings (%1 ... %99, %n, %r, %t, %%, %0).
#pragma once

#include "win32/types.h"

#include <cstdarg>

namespace win32 {

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD LANG_ENGLISH = 0x09;
constexpr WORD SUBLANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr WORD SUBLANG_SYS_DEFAULT = 0x02;

// Formats a message into `buffer` (`size` characters), or with FORMAT_MESSAGE_ALLOCATE_BUFFER
// into a LocalAlloc block stored at *(LPWSTR*)buffer (at least `size` characters). Returns the
// number of characters written without the terminating null, 0 on failure with the last error.
//
// - FROM_SYSTEM: the system's English text for a Windows error code, an HRESULT of the Win32
//   facility (0x8007xxxx reads as xxxx) or a COM HRESULT, ending in "\r\n". Language 0, a
//   neutral language or any English one is served; another language fails with 1815 and an
//   unknown code with 317. FROM_HMODULE alone fails with 1813: our modules carry no message
//   tables.
// - FROM_STRING: `source` is the format.
// - Inserts %1 to %99 take the arguments as strings unless "!fmt!" gives a printf format
//   (d, u, x, X, o, c, s, S with flags, width, precision and the h, l, ll, I64, w sizes); the
//   arguments come from `arguments` (a va_list*) or, with ARGUMENT_ARRAY, from an array of
//   DWORD_PTR. IGNORE_INSERTS copies inserts unchanged; without it a message that has inserts
//   and no arguments fails with 87.
// - The low byte of the flags: 0 keeps the line breaks of the text, 0xFF turns them into
//   blanks, n breaks lines at n characters.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPWSTR buffer, DWORD size, va_list* arguments);

} // namespace win32
