#include "package/errors.h"

#include <cstdio>

namespace dv {
namespace {

class compress_category_impl final : public std::error_category {
public:
    const char* name() const noexcept override { return "compress"; }
    std::string message(int value) const override {
        switch (value) {
        case 3:
            return "invalid checksum";
        case 5:
            return "interrupted";
        case 6:
            return "bzip2 error";
        case 7:
            return "unexpected error";
        default:
            return "unknown error";
        }
    }
};

} // namespace

const std::error_category& compress_category() noexcept {
    static const compress_category_impl category;
    return category;
}

std::error_code make_error_code(compress_error e) noexcept {
    return {static_cast<int>(e), compress_category()};
}

// Windows codes live in the system category, as they do in a Windows build; the program
// never asks that category for its text (messages come from FormatMessageW).
std::error_code system_error_code(unsigned long windows_code) noexcept {
    return {static_cast<int>(windows_code), std::system_category()};
}

std::wstring error_code_text(const std::error_code& code) {
    wchar_t text[32];
    if (code.category() == std::system_category())
        std::swprintf(text, 32, L"1:%08X", static_cast<unsigned>(code.value()));
    else if (code.category() == std::generic_category())
        std::swprintf(text, 32, L"2:%08X", static_cast<unsigned>(code.value()));
    else if (code.category() == compress_category())
        std::swprintf(text, 32, L"%d", code.value());
    else
        std::swprintf(text, 32, L"%d", 7);
    return text;
}

} // namespace dv
