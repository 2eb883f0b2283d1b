// Locale facts backed by ICU, the thread locale, code-page conversions and the character
// helpers of the user-interface text code.
#pragma once

#include "win32/types.h"

namespace win32 {

using LCTYPE = DWORD;

constexpr LCID LOCALE_NEUTRAL = 0x0000;
constexpr LCID LOCALE_INVARIANT = 0x007F;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

constexpr LCTYPE LOCALE_NOUSEROVERRIDE = 0x80000000;
constexpr LCTYPE LOCALE_USE_CP_ACP = 0x40000000;
constexpr LCTYPE LOCALE_RETURN_NUMBER = 0x20000000;

constexpr LCTYPE LOCALE_ILANGUAGE = 0x00000001;
constexpr LCTYPE LOCALE_SLANGUAGE = 0x00000002;
constexpr LCTYPE LOCALE_SNATIVELANGNAME = 0x00000004;
constexpr LCTYPE LOCALE_SNATIVELANGUAGENAME = 0x00000004;
constexpr LCTYPE LOCALE_SNATIVECTRYNAME = 0x00000008;
constexpr LCTYPE LOCALE_IDEFAULTCODEPAGE = 0x0000000B;
constexpr LCTYPE LOCALE_FONTSIGNATURE = 0x00000058;
constexpr LCTYPE LOCALE_SISO639LANGNAME = 0x00000059;
constexpr LCTYPE LOCALE_SISO3166CTRYNAME = 0x0000005A;
constexpr LCTYPE LOCALE_SNAME = 0x0000005C;
constexpr LCTYPE LOCALE_SISO639LANGNAME2 = 0x00000067;
constexpr LCTYPE LOCALE_SENGLANGUAGE = 0x00001001;
constexpr LCTYPE LOCALE_SENGLISHLANGUAGENAME = 0x00001001;
constexpr LCTYPE LOCALE_SENGCOUNTRY = 0x00001002;
constexpr LCTYPE LOCALE_SENGLISHCOUNTRYNAME = 0x00001002;
constexpr LCTYPE LOCALE_IDEFAULTANSICODEPAGE = 0x00001004;

// The font signature of a locale: lsUsb holds the Unicode subsets of its script (bit 123 is
// set for the scripts read right to left), the code-page fields its ANSI code page.
struct LOCALESIGNATURE {
    DWORD lsUsb[4];
    DWORD lsCsbDefault[2];
    DWORD lsCsbSupported[2];
};

// Returns the characters written including the terminating null (the size needed when
// `chars` is 0), or 0 with 87 for an unknown locale, 1004 for an unknown LCTYPE (or one the
// machine's `[switches] removed_locale_info` lists by number), 122 for a short buffer.
// LOCALE_FONTSIGNATURE and LOCALE_RETURN_NUMBER write binary data (a LOCALESIGNATURE, a DWORD) at
// the start of the buffer, in the layout Windows gives it; their size counts in this system's wide
// characters (8 and 1).
int GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int chars);

// The calling thread's locale (the user's default until set).
BOOL SetThreadLocale(LCID locale);
LCID GetThreadLocale();
// Whether a locale identifier names a locale this system knows.
BOOL IsValidLocale(LCID locale, DWORD flags);

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD MB_PRECOMPOSED = 0x00000001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

// The machine's ANSI and OEM code pages ([system] ansi_code_page, oem_code_page; the OEM one
// defaults to that of the user's language).
UINT GetACP();
UINT GetOEMCP();

// Code-page text to wide text and back, through ICU's converter for "windows-<cp>" (or the
// IBM table of that number); CP_UTF8 by our own decoder. Sizes count bytes and wide
// characters; -1 means "up to and including the null". Returns the count written (needed
// when the output size is 0), or 0 with 87 (unknown code page, empty input), 1004 (flags
// CP_UTF8 does not take), 122 (short buffer) or 1113 (MB_ERR_INVALID_CHARS and bad input).
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int chars);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR text, int chars, LPSTR out, int bytes,
                        LPCSTR default_char, LPBOOL used_default_char);

// Upper-cases `length` characters in place; returns `length`.
DWORD CharUpperBuffW(LPWSTR text, DWORD length);
// The next character: past the current one and the combining marks that follow it; the
// terminating null is returned as it is.
LPWSTR CharNextW(LPCWSTR text);
// Whether the first `count` characters of both strings are equal, ignoring case unless asked.
BOOL StrIsIntlEqualW(BOOL case_sensitive, LPCWSTR a, LPCWSTR b, int count);

} // namespace win32
