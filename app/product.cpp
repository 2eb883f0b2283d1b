#include "app/product.h"

#include "dv/language.h"

#include <locale>
#include <sstream>

namespace {

constexpr wchar_t productName[] = L"Marquetta 6";
constexpr int productMajorVersion = 6;

} // namespace

std::wstring productWord() {
    return L"Marquetta";
}

std::wstring productTitle() {
    return productWord() + L" " + productVersionText;
}

std::wstring productDisplayName() {
    // The registered name must end with the major version, so that two major versions never
    // share an uninstall key or a default folder.
    std::wostringstream name;
    name.imbue(std::locale::classic());
    name << productName;
    std::wstring text = name.str();
    if (text.empty() || text.back() < L'0' || text.back() > L'9')
        name << L' ' << productMajorVersion;
    return name.str();
}

std::wstring productVersionString() {
    std::wstring text;
    for (std::size_t i = 0; i < productVersionNumber.size(); ++i) {
        if (i)
            text += L'.';
        text += std::to_wstring(productVersionNumber[i]);
    }
    return text;
}

std::wstring uninstallKeyPath() {
    return std::wstring(uninstallKeyParent) + L"\\" + productDisplayName();
}

std::wstring installerTitle(bool withProduct) {
    std::wstring title = dv::LoadText(1000);
    if (withProduct)
        title += L" \u2013 " + productTitle();
    return title;
}

PreviousInstall ComparePreviousVersion(win32::ULONGLONG installed) {
    if (installed == 0)
        return PreviousInstall::SameVersion;
    const win32::ULONGLONG ours = productVersionNumber64();
    const auto oursHigh = static_cast<win32::DWORD>(ours >> 32);
    const auto theirsHigh = static_cast<win32::DWORD>(installed >> 32);
    if (oursHigh != theirsHigh)
        return oursHigh > theirsHigh ? PreviousInstall::OlderVersion
                                     : PreviousInstall::NewerVersion;
    const auto oursLow = static_cast<win32::DWORD>(ours);
    const auto theirsLow = static_cast<win32::DWORD>(installed);
    if (oursLow != theirsLow)
        return oursLow > theirsLow ? PreviousInstall::OlderVersion : PreviousInstall::NewerVersion;
    return PreviousInstall::SameVersion;
}
