#include "win32/locale.h"

#include "win32/error.h"
#include "win32/machine.h"
#include "win32/sysinfo.h"
#include "win32/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

namespace win32 {

namespace {

LCID user_lcid() {
    return GetUserDefaultLCID();
}

thread_local LCID t_thread_locale = 0; // 0: not set, the user's default

// The ICU locale of a Windows locale identifier ("" for the invariant locale), or false.
bool icu_locale(LCID lcid, std::string& out) {
    LANGID lang = LANGIDFROMLCID(lcid);
    if (lang == LOCALE_USER_DEFAULT || lang == LOCALE_SYSTEM_DEFAULT || lang == LOCALE_NEUTRAL)
        lang = LANGIDFROMLCID(user_lcid());
    if (lang == LOCALE_INVARIANT) {
        out.clear();
        return true;
    }
    char buf[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = uloc_getLocaleForLCID(lang, buf, sizeof buf, &status);
    if (U_FAILURE(status) || n <= 0)
        return false;
    out.assign(buf, static_cast<std::size_t>(n));
    auto at = out.find('@'); // sort variants do not change the names
    if (at != std::string::npos)
        out.resize(at);
    return true;
}

std::string part(const std::string& locale,
                 int32_t (*get)(const char*, char*, int32_t, UErrorCode*)) {
    char buf[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = get(locale.c_str(), buf, sizeof buf, &status);
    return U_SUCCESS(status) && n > 0 ? std::string(buf, static_cast<std::size_t>(n))
                                      : std::string();
}

std::string script_of(const std::string& locale) {
    char full[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    uloc_addLikelySubtags(locale.c_str(), full, sizeof full, &status);
    return U_SUCCESS(status) ? part(full, uloc_getScript) : std::string();
}

using DisplayFn = int32_t (*)(const char*, const char*, UChar*, int32_t, UErrorCode*);

std::wstring display(DisplayFn fn, const std::string& locale, const char* in) {
    UChar buf[256];
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = fn(locale.c_str(), in, buf, 256, &status);
    if (U_FAILURE(status) || n <= 0)
        return {};
    return from_utf16(std::u16string_view(reinterpret_cast<const char16_t*>(buf),
                                          static_cast<std::size_t>(std::min(n, 255))));
}

// ANSI and OEM code pages by language, as Windows assigns them.
struct CodePages {
    const char* languages; // space-separated ISO 639 codes
    UINT ansi;
    UINT oem;
};
const CodePages kCodePages[] = {
    {"cs pl ro hu sk sl hr sq bs", 1250, 852},
    {"bg ru uk be mk sr kk", 1251, 866},
    {"el", 1253, 737},
    {"tr az", 1254, 857},
    {"he", 1255, 862},
    {"ar fa ur", 1256, 720},
    {"et lv lt", 1257, 775},
    {"vi", 1258, 1258},
    {"th", 874, 874},
    {"ja", 932, 932},
    {"ko", 949, 949},
};

void code_pages(const std::string& locale, UINT& ansi, UINT& oem) {
    std::string lang = part(locale, uloc_getLanguage);
    std::string country = part(locale, uloc_getCountry);
    ansi = 1252;
    oem = lang == "en" && country == "US" ? 437 : 850;
    if (lang == "zh") {
        bool traditional = country == "TW" || country == "HK" || country == "MO";
        ansi = oem = traditional ? 950 : 936;
        return;
    }
    for (const auto& cp : kCodePages) {
        std::string list = std::string(" ") + cp.languages + " ";
        if (!lang.empty() && list.find(" " + lang + " ") != std::string::npos) {
            ansi = cp.ansi;
            oem = cp.oem;
        }
    }
}

LOCALESIGNATURE signature_of(const std::string& locale) {
    LOCALESIGNATURE sig{};
    auto set = [](DWORD* bits, int n) { bits[n / 32] |= 1u << (n % 32); };
    std::string script = script_of(locale);
    set(sig.lsUsb, 0); // Basic Latin
    set(sig.lsUsb, 1); // Latin-1 Supplement
    if (script == "Latn") {
        set(sig.lsUsb, 2);
        set(sig.lsUsb, 3);
        if (part(locale, uloc_getLanguage) == "vi")
            set(sig.lsUsb, 29); // Latin Extended Additional
    } else if (script == "Grek") {
        set(sig.lsUsb, 7);
    } else if (script == "Cyrl") {
        set(sig.lsUsb, 9);
    } else if (script == "Hebr") {
        set(sig.lsUsb, 11);
    } else if (script == "Arab") {
        set(sig.lsUsb, 13);
    } else if (script == "Thai") {
        set(sig.lsUsb, 24);
    } else if (script == "Hans" || script == "Hant" || script == "Jpan" || script == "Kore") {
        set(sig.lsUsb, 48); // CJK symbols and punctuation
        set(sig.lsUsb, 59); // CJK unified ideographs
    }
    if (uloc_isRightToLeft(locale.c_str()))
        set(sig.lsUsb, 123); // laid out from right to left
    UINT ansi = 0, oem = 0;
    code_pages(locale, ansi, oem);
    const std::pair<UINT, int> bits[] = {{1252, 0}, {1250, 1}, {1251, 2}, {1253, 3}, {1254, 4},
                                         {1255, 5}, {1256, 6}, {1257, 7}, {1258, 8}, {874, 16},
                                         {932, 17}, {936, 18}, {949, 19}, {950, 20}};
    for (auto [cp, bit] : bits)
        if (cp == ansi) {
            set(sig.lsCsbDefault, bit);
            set(sig.lsCsbSupported, bit);
        }
    set(sig.lsCsbSupported, 0); // every locale's fonts carry Latin 1
    return sig;
}

int put_text(const std::wstring& value, LPWSTR data, int chars) {
    int needed = static_cast<int>(value.size()) + 1;
    if (chars == 0)
        return needed;
    if (chars < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(data, value.c_str(), value.size() + 1);
    return needed;
}

int put_binary(const void* bytes, std::size_t size, LPWSTR data, int chars) {
    int needed = static_cast<int>((size + sizeof(wchar_t) - 1) / sizeof(wchar_t));
    if (chars == 0)
        return needed;
    if (chars < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(data, bytes, size);
    return needed;
}

// ---- code pages
// -------------------------------------------------------------------------------------

UINT resolve_code_page(UINT cp) {
    if (cp == CP_ACP)
        return GetACP();
    if (cp == CP_OEMCP)
        return GetOEMCP();
    if (cp == CP_THREAD_ACP) {
        std::string locale;
        UINT ansi = 1252, oem = 850;
        if (icu_locale(GetThreadLocale(), locale))
            code_pages(locale, ansi, oem);
        return ansi;
    }
    return cp;
}

struct ConverterDeleter {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterDeleter>;

Converter open_converter(UINT cp) {
    for (const char* pattern : {"windows-%u", "ibm-%u", "cp%u"}) {
        char name[32];
        std::snprintf(name, sizeof name, pattern, cp);
        UErrorCode status = U_ZERO_ERROR;
        UConverter* c = ucnv_open(name, &status);
        if (U_SUCCESS(status) && c)
            return Converter(c);
    }
    return nullptr;
}

// Decodes UTF-8 as Windows does: each bad byte becomes U+FFFD, or fails when asked to.
bool decode_utf8(std::string_view in, bool strict, std::wstring& out) {
    std::size_t i = 0;
    while (i < in.size()) {
        auto b = static_cast<unsigned char>(in[i]);
        int extra = b < 0x80             ? 0
                    : (b & 0xE0) == 0xC0 ? 1
                    : (b & 0xF0) == 0xE0 ? 2
                    : (b & 0xF8) == 0xF0 ? 3
                                         : -1;
        std::uint32_t c = extra == 0   ? b
                          : extra == 1 ? (b & 0x1F)
                          : extra == 2 ? (b & 0x0F)
                                       : (b & 0x07);
        bool ok =
            extra >= 0 && i + static_cast<std::size_t>(extra) < in.size() + (extra == 0 ? 1 : 0);
        for (int k = 1; ok && k <= extra; ++k) {
            auto cb = static_cast<unsigned char>(in[i + static_cast<std::size_t>(k)]);
            if ((cb & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (cb & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (ok && (c < least[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF))
            ok = false;
        if (!ok) {
            if (strict)
                return false;
            out.push_back(L'\xFFFD');
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

// `[switches] removed_locale_info`: LCTYPE numbers (such as 0x58) this machine has no data
// for, so that callers' fallbacks for a missing item can be reached.
bool locale_info_removed(LCTYPE what) {
    for (const std::string& item :
         Machine::current().setting_list("switches", "removed_locale_info")) {
        char* end = nullptr;
        unsigned long value = std::strtoul(item.c_str(), &end, 0);
        if (end && *end == '\0' && end != item.c_str() && value == what)
            return true;
    }
    return false;
}

} // namespace

int GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int chars) {
    if (chars < 0 || (chars > 0 && !data)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string loc;
    if (!icu_locale(locale, loc)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool number = type & LOCALE_RETURN_NUMBER;
    LCTYPE what = type & ~(LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP | LOCALE_RETURN_NUMBER);
    if (locale_info_removed(what)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    LANGID lang = LANGIDFROMLCID(locale);
    if (lang == LOCALE_USER_DEFAULT || lang == LOCALE_SYSTEM_DEFAULT || lang == LOCALE_NEUTRAL)
        lang = LANGIDFROMLCID(user_lcid());
    bool invariant = loc.empty();
    std::string language = part(loc, uloc_getLanguage);
    std::string country = part(loc, uloc_getCountry);

    auto numeric = [&](DWORD value, const wchar_t* text_format) {
        if (number)
            return put_binary(&value, sizeof value, data, chars);
        wchar_t buf[16];
        std::swprintf(buf, 16, text_format, value);
        return put_text(buf, data, chars);
    };
    switch (what) {
    case LOCALE_ILANGUAGE:
        return numeric(lang, L"%04x");
    case LOCALE_SNAME:
        return put_text(invariant ? L""
                                  : from_utf8(language + (country.empty() ? "" : "-" + country)),
                        data, chars);
    case LOCALE_SISO639LANGNAME:
        return put_text(invariant ? L"iv" : from_utf8(language), data, chars);
    case LOCALE_SISO639LANGNAME2:
        return put_text(invariant ? L"ivl" : from_utf8(uloc_getISO3Language(loc.c_str())), data,
                        chars);
    case LOCALE_SISO3166CTRYNAME:
        return put_text(invariant ? L"IV" : from_utf8(country), data, chars);
    case LOCALE_SNATIVELANGNAME:
        return put_text(invariant ? L"Invariant Language"
                                  : display(uloc_getDisplayLanguage, loc, loc.c_str()),
                        data, chars);
    case LOCALE_SNATIVECTRYNAME:
        return put_text(invariant ? L"Invariant Country"
                                  : display(uloc_getDisplayCountry, loc, loc.c_str()),
                        data, chars);
    case LOCALE_SENGLISHLANGUAGENAME:
        return put_text(invariant ? L"Invariant Language"
                                  : display(uloc_getDisplayLanguage, loc, "en"),
                        data, chars);
    case LOCALE_SENGLISHCOUNTRYNAME:
        return put_text(invariant ? L"Invariant Country"
                                  : display(uloc_getDisplayCountry, loc, "en"),
                        data, chars);
    case LOCALE_SLANGUAGE: // in the language of the system's interface: English
        return put_text(invariant ? L"Invariant Language" : display(uloc_getDisplayName, loc, "en"),
                        data, chars);
    case LOCALE_IDEFAULTANSICODEPAGE:
    case LOCALE_IDEFAULTCODEPAGE: {
        UINT ansi = 1252, oem = 437;
        if (!invariant)
            code_pages(loc, ansi, oem);
        return numeric(what == LOCALE_IDEFAULTANSICODEPAGE ? ansi : oem, L"%u");
    }
    case LOCALE_FONTSIGNATURE: {
        LOCALESIGNATURE sig = signature_of(invariant ? std::string("en_US") : loc);
        return put_binary(&sig, sizeof sig, data, chars);
    }
    default:
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
}

BOOL IsValidLocale(LCID locale, DWORD) {
    std::string loc;
    return icu_locale(locale, loc) ? TRUE : FALSE;
}

BOOL SetThreadLocale(LCID locale) {
    std::string loc;
    if (!icu_locale(locale, loc))
        return fail(ERROR_INVALID_PARAMETER);
    LANGID lang = LANGIDFROMLCID(locale);
    t_thread_locale =
        (lang == LOCALE_USER_DEFAULT || lang == LOCALE_SYSTEM_DEFAULT || lang == LOCALE_NEUTRAL)
            ? user_lcid()
            : locale;
    return TRUE;
}

LCID GetThreadLocale() {
    return t_thread_locale ? t_thread_locale : user_lcid();
}

UINT GetACP() {
    return Machine::current().setting_number("system", "ansi_code_page", 1252);
}

UINT GetOEMCP() {
    UINT configured = Machine::current().setting_number("system", "oem_code_page", 0);
    if (configured)
        return configured;
    std::string loc;
    UINT ansi = 1252, oem = 437;
    if (icu_locale(user_lcid(), loc) && !loc.empty())
        code_pages(loc, ansi, oem);
    return oem;
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int bytes, LPWSTR out,
                        int chars) {
    if (!text || bytes == 0 || bytes < -1 || chars < 0 || (chars > 0 && !out) ||
        (out && static_cast<const void*>(out) == static_cast<const void*>(text))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string_view in(text,
                        bytes == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(bytes));
    UINT cp = resolve_code_page(code_page);
    bool strict = flags & MB_ERR_INVALID_CHARS;
    std::wstring result;
    if (cp == CP_UTF8) {
        if (flags & ~MB_ERR_INVALID_CHARS) {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        if (!decode_utf8(in, strict, result)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        Converter conv = open_converter(cp);
        if (!conv) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        UErrorCode status = U_ZERO_ERROR;
        if (strict)
            ucnv_setToUCallBack(conv.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                                &status);
        std::u16string units(in.size() * 2 + 4, u'\0');
        status = U_ZERO_ERROR;
        int32_t n = ucnv_toUChars(conv.get(), reinterpret_cast<UChar*>(units.data()),
                                  static_cast<int32_t>(units.size()), in.data(),
                                  static_cast<int32_t>(in.size()), &status);
        if (U_FAILURE(status)) {
            SetLastError(strict ? ERROR_NO_UNICODE_TRANSLATION : ERROR_INVALID_PARAMETER);
            return 0;
        }
        units.resize(static_cast<std::size_t>(n));
        result = from_utf16(units);
    }
    int needed = static_cast<int>(result.size());
    if (chars == 0)
        return needed;
    if (chars < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(out, result.data(), result.size());
    return needed;
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR text, int chars, LPSTR out, int bytes,
                        LPCSTR default_char, LPBOOL used_default_char) {
    if (!text || chars == 0 || chars < -1 || bytes < 0 || (bytes > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring_view in(text,
                         chars == -1 ? std::wcslen(text) + 1 : static_cast<std::size_t>(chars));
    UINT cp = resolve_code_page(code_page);
    std::string result;
    bool used = false;
    if (cp == CP_UTF8) {
        if (default_char || used_default_char || (flags & ~WC_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        result = to_utf8(in);
    } else {
        Converter conv = open_converter(cp);
        if (!conv) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        UErrorCode status = U_ZERO_ERROR;
        ucnv_setFromUCallBack(conv.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                              &status);
        std::string fallback = default_char ? std::string(default_char, 1) : std::string("?");
        // One character at a time, so that an unmappable one can be replaced and reported.
        for (wchar_t c : in) {
            std::u16string units = to_utf16(std::wstring_view(&c, 1));
            char buf[8];
            status = U_ZERO_ERROR;
            ucnv_resetFromUnicode(conv.get());
            int32_t n = ucnv_fromUChars(conv.get(), buf, sizeof buf,
                                        reinterpret_cast<const UChar*>(units.data()),
                                        static_cast<int32_t>(units.size()), &status);
            if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
                result += fallback;
                used = true;
            } else {
                result.append(buf, static_cast<std::size_t>(n));
            }
        }
    }
    if (used_default_char)
        *used_default_char = used ? TRUE : FALSE;
    int needed = static_cast<int>(result.size());
    if (bytes == 0)
        return needed;
    if (bytes < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, result.data(), result.size());
    return needed;
}

DWORD CharUpperBuffW(LPWSTR text, DWORD length) {
    if (!text)
        return 0;
    for (DWORD i = 0; i < length; ++i)
        text[i] = upper_char(text[i]);
    return length;
}

LPWSTR CharNextW(LPCWSTR text) {
    auto* p = const_cast<LPWSTR>(text);
    if (!p || !*p)
        return p;
    ++p;
    while (*p) {
        auto type = u_charType(static_cast<UChar32>(*p));
        if (type != U_NON_SPACING_MARK && type != U_ENCLOSING_MARK &&
            type != U_COMBINING_SPACING_MARK)
            break;
        ++p;
    }
    return p;
}

BOOL StrIsIntlEqualW(BOOL case_sensitive, LPCWSTR a, LPCWSTR b, int count) {
    if (!a || !b)
        return a == b;
    for (int i = 0; i < count; ++i) {
        wchar_t x = a[i], y = b[i];
        if (x != y) {
            if (case_sensitive || u_foldCase(static_cast<UChar32>(x), U_FOLD_CASE_DEFAULT) !=
                                      u_foldCase(static_cast<UChar32>(y), U_FOLD_CASE_DEFAULT))
                return FALSE;
        }
        if (!x)
            break;
    }
    return TRUE;
}

} // namespace win32
