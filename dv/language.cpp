#include "dv/language.h"

#include "dv/sysinfo.h"
#include "win32/crtlocale.h"
#include "win32/error.h"
#include "win32/locale.h"
#include "win32/memory.h"
#include "win32/message.h"
#include "win32/module.h"
#include "win32/resource.h"
#include "win32/sysinfo.h"
#include "win32/text.h"

#include <clocale>
#include <cstring>
#include <locale>
#include <stdexcept>
#include <vector>

namespace dv {

using namespace win32;

namespace {

struct Language {
    LANGID langid;
    UINT text_offset; // 0 for French (the base table) and Vietnamese (no table)
    bool installer_texts;
    bool product;
    WORD user_primary; // the primary language of a user who gets this language
};

// Offsets follow the order in which the tables were added, not the index.
constexpr Language kLanguages[LanguageCount] = {
    {0x040C, 0, true, true, 0x0C},       // French
    {0x0409, 1000, true, true, 0x09},    // English
    {0x0407, 2000, true, true, 0x07},    // German
    {0x0C0A, 3000, true, true, 0x0A},    // Spanish, modern sort
    {0x0816, 4000, true, true, 0x16},    // Portuguese (Portugal)
    {0x0413, 6000, false, true, 0x13},   // Dutch
    {0x0406, 7000, false, false, 0x06},  // Danish
    {0x041F, 8000, true, false, 0x1F},   // Turkish
    {0x0402, 10000, false, false, 0x02}, // Bulgarian
    {0x0418, 11000, true, true, 0x18},   // Romanian
    {0x0804, 9000, false, true, 0x04},   // Chinese (simplified)
    {0x0410, 5000, true, true, 0x10},    // Italian
    {0x0405, 12000, false, false, 0x05}, // Czech
    {0x0414, 13000, false, false, 0x14}, // Norwegian (Bokmål)
    {0x0408, 14000, false, true, 0x08},  // Greek
    {0x0415, 15000, false, false, 0x15}, // Polish
    {0x040D, 16000, false, true, 0x0D},  // Hebrew
    {0x042A, 0, true, false, 0x2A},      // Vietnamese
};
constexpr LanguageIndex kFrench = 0;
constexpr LanguageIndex kEnglish = 1;
constexpr LanguageIndex kChinese = 10;
constexpr LanguageIndex kHebrew = 16;

constexpr WORD kPrimaryMask = 0x3FF;

struct LanguageState {
    DWORD default_mask = 1;
    LanguageIndex index = 0;
    LCID lcid = 0;
    HMODULE resource_module = nullptr;
};

void apply_runtime_locale(LanguageIndex index);

LanguageState& state() {
    // Made once, under the run-time's guarded initialisation of local statics; never
    // destroyed, so texts can be looked up from any static destructor.
    static LanguageState* const s = [] {
        auto* st = new LanguageState;
        st->lcid = LcidFor(kFrench);
        // The host's C locale is process-wide already: nothing to switch off per thread.
        apply_runtime_locale(kFrench);
        // The only place the thread locale is set: it stays the French one for good.
        SetThreadLocale(LcidFor(kFrench));
        return st;
    }();
    return *s;
}

void apply_runtime_locale(LanguageIndex index) {
    std::string name;
    bool named = true;
    try {
        name = RuntimeLocaleName(index);
    } catch (const std::runtime_error&) {
        named = false;
    }

    // Collation and classification from the named locale (the user's own when it has no
    // name); the other categories keep what they have, the classic ones. A locale the host
    // does not know leaves those two categories classic too.
    std::locale chosen = std::locale::classic();
    try {
        chosen = crt_locale(named ? name : std::string());
    } catch (const std::runtime_error&) {
    }
    std::locale::global(
        std::locale(std::locale(), chosen, std::locale::collate | std::locale::ctype));

    std::setlocale(LC_ALL, "C");
    if (named) {
        crt_setlocale(LC_CTYPE, name.c_str());
        crt_setlocale(LC_COLLATE, name.c_str());
    }
}

const Language& row(LanguageIndex index) {
    return kLanguages[static_cast<std::size_t>(index)];
}

HMODULE program_module() {
    return GetModuleHandleW(nullptr);
}

// The `id % 16`th string of a string-table block; false when the block ends before it.
bool string_in_block(const BYTE* block, DWORD size, WORD id, std::wstring& out) {
    std::size_t pos = 0;
    for (unsigned skip = id % 16;; --skip) {
        if (pos + 2 > size)
            return false;
        WORD length = static_cast<WORD>(block[pos] | (block[pos + 1] << 8));
        pos += 2;
        if (static_cast<std::size_t>(length) * 2 > size - pos)
            return false;
        if (skip == 0) {
            out = from_utf16le(block + pos, static_cast<std::size_t>(length) * 2);
            return true;
        }
        pos += static_cast<std::size_t>(length) * 2;
    }
}

bool string_in_module(HMODULE module, WORD id, std::wstring& out) {
    HRSRC found =
        FindResourceW(module, MAKEINTRESOURCEW(static_cast<WORD>(id / 16 + 1)), RT_STRING);
    if (!found)
        return false;
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return false;
    return string_in_block(static_cast<const BYTE*>(data), size, id, out);
}

ResourceData data_in_module(HMODULE module, const wchar_t* name, const wchar_t* type) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found)
        return {};
    HGLOBAL loaded = LoadResource(module, found);
    if (!loaded)
        return {};
    const DWORD size = SizeofResource(module, found);
    if (size == 0)
        return {};
    const void* data = LockResource(loaded);
    if (!data)
        return {};
    return {data, size};
}

} // namespace

// ---- language state ------------------------------------------------------------------------

LanguageIndex CurrentLanguage() {
    return state().index;
}

void SetLanguage(LanguageIndex index) {
    LanguageState& s = state();
    if (index != s.index)
        apply_runtime_locale(index);
    s.index = index;
    s.lcid = LcidFor(index);
    s.resource_module = nullptr;
}

LANGID CurrentLangId() {
    return LANGIDFROMLCID(state().lcid);
}

HMODULE ResourceModule() {
    LanguageState& s = state();
    if (!s.resource_module)
        s.resource_module = program_module();
    return s.resource_module;
}

LCID LcidFor(LanguageIndex index) {
    const LCID user = GetUserDefaultLCID();
    const LANGID langid = row(index).langid;
    return LANGIDFROMLCID(user) == langid ? user : MAKELCID(langid, 0);
}

LanguageIndex LanguageFromUserDefault(DWORD mask) {
    if (mask == 0)
        mask = state().default_mask;
    const LanguageIndex fallback = (mask & (1u << kEnglish)) ? kEnglish : kFrench;
    const LANGID user = GetUserDefaultLangID();
    const WORD primary = user & kPrimaryMask;
    for (LanguageIndex i = 0; i < LanguageCount; ++i) {
        if (row(i).user_primary != primary)
            continue;
        // Chinese only for the simplified-script users (PRC, Singapore).
        if (i == kChinese && SUBLANGID(user) != 2 && SUBLANGID(user) != 4)
            continue;
        return (mask & (1u << i)) ? i : fallback;
    }
    return fallback;
}

LANGID LanguageLangId(LanguageIndex index) {
    state();
    return row(index).langid;
}

std::wstring LanguageNativeName(LanguageIndex index) {
    const LCID lcid = LcidFor(index);
    state();
    wchar_t name[128] = {};
    if (GetLocaleInfoW(lcid, LOCALE_SNATIVELANGNAME, name, 128) <= 0 &&
        GetLocaleInfoW(lcid, LOCALE_SENGLISHLANGUAGENAME, name, 128) <= 0)
        return {};
    wchar_t* first_end = CharNextW(name);
    CharUpperBuffW(name, static_cast<DWORD>(first_end - name));
    return name;
}

bool IsRightToLeft(LanguageIndex index) {
    state();
    // Read as the system gives it: sixteen characters of its wide type hold the signature.
    wchar_t buffer[16] = {};
    if (GetLocaleInfoW(row(index).langid, LOCALE_FONTSIGNATURE, buffer, 16) <= 0)
        return index == kHebrew;
    LOCALESIGNATURE signature;
    static_assert(sizeof signature <= sizeof buffer);
    std::memcpy(&signature, buffer, sizeof signature);
    return (signature.lsUsb[3] & (1u << 27)) != 0;
}

bool IsLeftToRight() {
    return !IsRightToLeft(CurrentLanguage());
}

bool HasInstallerTexts(LanguageIndex index) {
    state();
    return row(index).installer_texts;
}

bool IsProductLanguage(LanguageIndex index) {
    state();
    return row(index).product;
}

std::string RuntimeLocaleName(LanguageIndex index) {
    const LCID lcid = LcidFor(index);
    if ((GetUserDefaultLangID() & kPrimaryMask) == (LANGIDFROMLCID(lcid) & kPrimaryMask))
        return {};
    wchar_t name[85] = {};
    if (is_vista_or_later()) {
        if (GetLocaleInfoW(lcid, LOCALE_SNAME, name, 85) <= 0)
            throw std::runtime_error("GetLocaleInfo() failed");
        return to_utf8(name);
    }
    wchar_t country[9] = {};
    if (GetLocaleInfoW(lcid, LOCALE_SISO639LANGNAME, name, 9) <= 0 ||
        GetLocaleInfoW(lcid, LOCALE_SISO3166CTRYNAME, country, 9) <= 0)
        throw std::runtime_error("GetLocaleInfo() failed");
    return to_utf8(name) + "-" + to_utf8(country);
}

// ---- texts ----------------------------------------------------------------------------------

UINT TextId(UINT base) {
    LanguageIndex language = CurrentLanguage();
    if (!HasInstallerTexts(language))
        language = kEnglish;
    const UINT id = base + row(language).text_offset;
    if (language == kFrench)
        return id;
    if (LoadResourceString(static_cast<WORD>(id)) != L"#")
        return id;
    if (language == kEnglish)
        return base;
    const UINT english = base + row(kEnglish).text_offset;
    return LoadResourceString(static_cast<WORD>(english)) != L"#" ? english : base;
}

std::wstring LoadText(UINT base) {
    return LoadResourceString(static_cast<WORD>(TextId(base)));
}

std::wstring LoadResourceString(WORD id) {
    std::wstring text;
    const HMODULE first = ResourceModule();
    if (string_in_module(first, id, text) && !text.empty())
        return text;
    const HMODULE program = program_module();
    if (program != first && string_in_module(program, id, text))
        return text;
    return {};
}

std::wstring FormatStringArgs(const std::wstring& format,
                              std::initializer_list<std::wstring_view> args) {
    if (format.empty())
        throw std::invalid_argument("empty message format");
    // The system reads as many arguments as the format names; an insert the caller gave no
    // argument for reads an empty string instead of whatever lies past the array.
    std::vector<std::wstring> strings(args.begin(), args.end());
    strings.resize(99);
    std::vector<DWORD_PTR> array;
    array.reserve(strings.size());
    for (const std::wstring& s : strings)
        array.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));

    LPWSTR out = nullptr;
    SetLastError(ERROR_SUCCESS);
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        format.c_str(), 0, 0, reinterpret_cast<LPWSTR>(&out), 0,
                                        reinterpret_cast<va_list*>(array.data()));
    if (length == 0) {
        const DWORD error = GetLastError();
        if (out)
            LocalFree(out);
        if (error != ERROR_SUCCESS)
            throw std::invalid_argument("message format not usable (error " +
                                        std::to_string(error) + ")");
        return {};
    }
    std::wstring result(out, length);
    LocalFree(out);
    return result;
}

std::wstring LoadTextOrId(TextOrId value) {
    if (!value)
        return {};
    if (IS_INTRESOURCE(value))
        return LoadResourceString(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(value)));
    return value;
}

// ---- data resources -------------------------------------------------------------------------

ResourceData FindResourceData(const wchar_t* name, const wchar_t* type) {
    const HMODULE first = ResourceModule();
    if (FindResourceW(first, name, type))
        return data_in_module(first, name, type);
    const HMODULE program = program_module();
    if (program != first)
        return data_in_module(program, name, type);
    return {};
}

imemstream OpenResourceStream(const wchar_t* type, const wchar_t* name) {
    const ResourceData found = FindResourceData(name, type);
    if (!found.data)
        return imemstream();
    return imemstream(static_cast<const char*>(found.data), found.size);
}

} // namespace dv
