// The product's identity: its names, version, publisher folder and uninstall key, the
// installer's caption, and the comparison of an installed version with this one.
#pragma once

#include "dv/product.h"
#include "win32/types.h"

#include <array>
#include <cstdint>
#include <string>

// What start-up found installed.
enum class PreviousInstall : std::int32_t {
    None = 0,
    SameVersion = 1,
    OlderVersion = 2,
    NewerVersion = -1,
};

// The product's name alone ("Marquetta").
std::wstring productWord();
// The version text that follows the name in the title.
inline constexpr wchar_t productVersionText[] = L"6.05f";
// Name and version text ("Marquetta 6.05f").
std::wstring productTitle();
// The name under which the product is registered and installed ("Marquetta 6").
std::wstring productDisplayName();
inline constexpr wchar_t publisherFolderName[] = L"Dravik & Rodezura";
// Prefix of the names of the product's named objects ("Marquetta6"), shared with the
// product's own programs.
using dv::productKey;

// The version number in four 16-bit parts, most significant first.
inline constexpr std::array<win32::WORD, 4> productVersionNumber = {6, 5, 6, 3};
// A version as one number: the most significant pair in the high 32 bits.
constexpr win32::ULONGLONG versionNumber(win32::DWORD mostSignificant,
                                         win32::DWORD leastSignificant) {
    return (static_cast<win32::ULONGLONG>(mostSignificant) << 32) | leastSignificant;
}
constexpr win32::ULONGLONG productVersionNumber64() {
    return versionNumber(win32::MAKELONG(productVersionNumber[1], productVersionNumber[0]),
                         win32::MAKELONG(productVersionNumber[3], productVersionNumber[2]));
}
// "6.5.6.3", the registered display version.
std::wstring productVersionString();

// Under HKEY_LOCAL_MACHINE: the Uninstall key, and the product's key below it.
inline constexpr wchar_t uninstallKeyParent[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
std::wstring uninstallKeyPath();

// Text 1000 in the current language; with the product, followed by an en dash between
// blanks and the product title. Built anew each time, so it follows language changes.
std::wstring installerTitle(bool withProduct);

// What an installed version means for this installer. `installed` is the installed
// executable's file version as one number (versionNumber); 0 means it has none.
PreviousInstall ComparePreviousVersion(win32::ULONGLONG installed);
