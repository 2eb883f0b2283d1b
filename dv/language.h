// The user-interface language: the process-wide language state, the table of the installer's
// languages, the choice of a language from the user's settings, the run-time library's
// locale, the text lookup by base number with its fallbacks, text formatting, and plain
// access to the program's string and data resources.
#pragma once

#include "dv/memstream.h"
#include "win32/types.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace dv {

// 0 French, 1 English, 2 German, 3 Spanish, 4 Portuguese, 5 Dutch, 6 Danish, 7 Turkish,
// 8 Bulgarian, 9 Romanian, 10 Chinese (simplified), 11 Italian, 12 Czech, 13 Norwegian,
// 14 Greek, 15 Polish, 16 Hebrew, 17 Vietnamese. Every operation expects 0 to 17.
using LanguageIndex = std::int32_t;
inline constexpr LanguageIndex LanguageCount = 18;

// One bit per index: the languages the product supports (0 to 5, 9, 10, 11, 14, 16, 17).
inline constexpr win32::DWORD SupportedLanguageMask = 0x34E3F;

// ---- language state (made on first use by any of these, never destroyed) ----------------

LanguageIndex CurrentLanguage();
// Makes `index` current: the run-time locale follows (unless it already is current), the
// locale identifier becomes LcidFor(index), and the resource module is looked up again.
void SetLanguage(LanguageIndex index);
// The low 16 bits of the current language's locale identifier.
win32::LANGID CurrentLangId();
// The module searched first for resources: the program itself unless another was set.
win32::HMODULE ResourceModule();
// The user's default LCID when it is a locale of this language, else the language's LANGID.
win32::LCID LcidFor(LanguageIndex index);
// The language for the user's default language when `mask` (0: the state's default mask,
// French only) has its bit; else English when the mask has English, else French.
LanguageIndex LanguageFromUserDefault(win32::DWORD mask);

win32::LANGID LanguageLangId(LanguageIndex index);
// The language's own name for itself, first letter upper-cased ("Français"). Falls back to
// the English name when the system has no native one, and is empty only when it has neither.
std::wstring LanguageNativeName(LanguageIndex index);
// By the locale's font signature (Unicode subset 123); without one, only Hebrew.
bool IsRightToLeft(LanguageIndex index);
bool IsLeftToRight();
bool HasInstallerTexts(LanguageIndex index);
bool IsProductLanguage(LanguageIndex index);

// The name the run-time locale of `index` is set from: empty (the user's own settings) when
// the user's language is that language, else "de-DE" and the like. Throws
// std::runtime_error("GetLocaleInfo() failed") when the system cannot name the locale.
std::string RuntimeLocaleName(LanguageIndex index);

// ---- texts --------------------------------------------------------------------------------

// The string id of base number `base` (1000 to 1131) in the current language, falling back
// to English and then to the base (French) table where a table holds "#".
win32::UINT TextId(win32::UINT base);
// The text of TextId(base); empty when there is no such string.
std::wstring LoadText(win32::UINT base);
// The string with absolute id `id`, from ResourceModule() and then from the program itself;
// empty when neither has it.
std::wstring LoadResourceString(win32::WORD id);

// Formats with the system's message insertion rules: %1, %2, ... are the arguments, "%%"
// is "%". An empty format throws std::invalid_argument; an insert beyond the arguments
// given stands for an empty string.
std::wstring FormatStringArgs(const std::wstring& format,
                              std::initializer_list<std::wstring_view> args);
template <class... Args>
std::wstring FormatString(const std::wstring& format, const Args&... args) {
    return FormatStringArgs(format, {std::wstring_view(args)...});
}
// The text of base number `base` used as such a format.
template <class... Args> std::wstring FormatText(win32::UINT base, const Args&... args) {
    return FormatStringArgs(LoadText(base), {std::wstring_view(args)...});
}

// A text given as a string or as a resource number: null is the empty text, a value below
// 0x10000 (made with MakeTextId) is LoadResourceString of it, anything else is the string.
using TextOrId = const wchar_t*;
inline TextOrId MakeTextId(win32::WORD id) {
    return reinterpret_cast<TextOrId>(static_cast<win32::ULONG_PTR>(id));
}
std::wstring LoadTextOrId(TextOrId value);

// ---- data resources -----------------------------------------------------------------------

struct ResourceData {
    const void* data = nullptr;
    win32::DWORD size = 0;
};
// A resource's bytes in place, from ResourceModule() and then from the program itself;
// {null, 0} when it is missing, cannot be loaded or locked, or is empty.
ResourceData FindResourceData(const wchar_t* name, const wchar_t* type);
// A read-only, seekable stream over a resource's bytes (no copy); empty when there is none.
imemstream OpenResourceStream(const wchar_t* type, const wchar_t* name);

} // namespace dv
