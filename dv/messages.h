// Error codes as text: the system's messages for system codes and HRESULTs, the program's own
// codes that name a string resource, and the name a message box carries when it has no
// caption of its own. (Message boxes themselves and the message pump live with the windows.)
#pragma once

#include "win32/types.h"

#include <string>

namespace dv {

// The program's own codes carry this bit; with kResourceCodeBit too, their low 16 bits are
// the absolute number of the string resource holding the message.
inline constexpr win32::DWORD kCustomerCodeBit = 0x20000000;
inline constexpr win32::DWORD kResourceCodeBit = 0x08000000;

// The system's message for a system error code or HRESULT in `language` (0: the system's
// choice; a language the system has no text in falls back to that), without trailing line
// breaks. A code without a message gives the text of E_FAIL, and that at worst "Error":
// never empty.
std::wstring get_error_text(win32::DWORD code, win32::LANGID language);

// The message for any code: the string resource of a program code (the text of E_FAIL when
// it is missing or empty, and for a program code without a resource), else the system's.
// Never empty.
std::wstring get_message_text(win32::DWORD code);

// What gives the application object's name while it exists; set by the application framework
// (null when there is none).
using AppNameSource = std::wstring (*)();
void set_app_name_source(AppNameSource source);

// The caption for a box without one: the application's name when it has one; else the
// running program's version display text ("bêta" written "beta" for a pre-release outside
// French); else the program's file name without folder and extension.
std::wstring get_app_display_name();

} // namespace dv
