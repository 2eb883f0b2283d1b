#include "win32/message.h"

#include "win32/error.h"
#include "win32/memory.h"
#include "win32/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

namespace win32 {

namespace {

struct SystemText {
    DWORD code;
    const wchar_t* text;
};

// The system's texts, in our own words. Windows error codes first, then HRESULTs that are not
// of the Win32 facility (those read as their Win32 code).
const SystemText kSystemTexts[] = {
    {0, L"The operation completed."},
    {1, L"This function is not valid here."},
    {2, L"The file cannot be found."},
    {3, L"The path cannot be found."},
    {4, L"Too many files are open at the same time."},
    {5, L"Access is refused."},
    {6, L"The handle is not valid."},
    {8, L"There is not enough memory to carry out this command."},
    {11, L"The program has a format that cannot be loaded."},
    {13, L"The data is not valid."},
    {14, L"There is not enough memory to finish this operation."},
    {15, L"The drive cannot be found."},
    {16, L"The folder cannot be removed while it is the current folder."},
    {17, L"The file cannot be moved to another drive."},
    {18, L"No more files match."},
    {19, L"The medium is write-protected."},
    {24, L"The program gave a command of the wrong length."},
    {29, L"The device cannot be written to."},
    {30, L"The device cannot be read from."},
    {31, L"A device attached to the system does not work."},
    {32, L"The file cannot be used: another process has it open."},
    {33, L"Part of the file is locked by another process."},
    {38, L"The end of the file has been reached."},
    {39, L"The disk is full."},
    {50, L"This request is not supported."},
    {53, L"The network path cannot be found."},
    {80, L"The file already exists."},
    {82, L"The folder or file cannot be created."},
    {87, L"A parameter is not valid."},
    {109, L"The pipe has been closed."},
    {110, L"The device or file cannot be opened."},
    {111, L"The file name is too long for the buffer."},
    {112, L"There is not enough room on the disk."},
    {120, L"This function is not available on this system."},
    {122, L"The buffer given is too small for the data."},
    {123, L"The syntax of the file name, folder name or volume label is not valid."},
    {126, L"The module cannot be found."},
    {127, L"The procedure cannot be found."},
    {131, L"The file pointer cannot be moved before the beginning of the file."},
    {145, L"The folder is not empty."},
    {161, L"The path given is not valid."},
    {170, L"The resource asked for is in use."},
    {183, L"The file cannot be created: it already exists."},
    {193, L"%1 is not a program this system can run."},
    {203, L"The environment option cannot be found."},
    {206, L"The file name or its extension is too long."},
    {223, L"The file is too large for the file system."},
    {234, L"More data is available."},
    {259, L"No more data is available."},
    {267, L"The folder name is not valid."},
    {288, L"The mutex cannot be released: the caller does not own it."},
    {298, L"The semaphore cannot take more units."},
    {317, L"No text exists for message number 0x%1 in the message file for %2."},
    {487, L"The address is not valid."},
    {534, L"The result of the arithmetic is too large."},
    {998, L"Access to this memory location is not valid."},
    {1004, L"The flags are not valid."},
    {1008, L"No token exists for this thread."},
    {1009, L"The registry database is damaged."},
    {1010, L"The registry key is not valid."},
    {1011, L"The registry key cannot be opened."},
    {1012, L"The registry key cannot be read."},
    {1013, L"The registry key cannot be written."},
    {1015, L"The registry is damaged."},
    {1018, L"The registry key has been marked for deletion."},
    {1021, L"A permanent sub-key cannot be created under a volatile key."},
    {1113, L"The character has no equivalent in the target code page."},
    {1114, L"A library failed to initialise."},
    {1223, L"The operation was cancelled by the user."},
    {1300, L"Not every privilege asked for is held by the caller."},
    {1306, L"The revision levels do not match."},
    {1307, L"This security identifier cannot be the owner of this object."},
    {1308, L"This security identifier cannot be the primary group of this object."},
    {1309, L"A thread that is not impersonating tried to use an impersonation token."},
    {1313, L"The privilege named does not exist."},
    {1314, L"The client does not hold a privilege the operation needs."},
    {1332, L"No account names were mapped to security identifiers."},
    {1336, L"The access control list is not valid."},
    {1337, L"The security identifier is not valid."},
    {1338, L"The security descriptor is not valid."},
    {1344, L"The space allotted is exhausted."},
    {1346, L"The impersonation level is missing or not valid."},
    {1349, L"The token is not of the kind needed."},
    {1460, L"The operation did not finish in the time allowed."},
    {1812, L"The file holds no resources."},
    {1813, L"The file holds no resource of this type."},
    {1814, L"The file holds no resource of this name."},
    {1815, L"The file holds no resource of this language."},
    {1921, L"The name of the file cannot be resolved."},
    {0x80004001u, L"The operation is not implemented."},
    {0x80004002u, L"The interface asked for is not supported."},
    {0x80004003u, L"The pointer is not valid."},
    {0x80004004u, L"The operation was aborted."},
    {0x80004005u, L"Unspecified error"},
    {0x8000FFFFu, L"An unexpected failure occurred."},
    {0x80040154u, L"The class is not registered."},
    {0x800401F0u, L"The component library has not been initialised."},
};

const wchar_t* system_text(DWORD code) {
    if ((code & 0xFFFF0000u) == 0x80070000u)
        code &= 0xFFFF; // an HRESULT of the Win32 facility
    for (const auto& t : kSystemTexts)
        if (t.code == code)
            return t.text;
    return nullptr;
}

bool english_or_neutral(DWORD language) {
    WORD primary = PRIMARYLANGID(static_cast<LANGID>(language));
    return language <= 0xFFFF && (primary == LANG_NEUTRAL || primary == LANG_ENGLISH);
}

// One "!fmt!" printf format.
struct InsertFormat {
    std::string flags;
    int width = -1;
    int precision = -1;
    bool wide64 = false; // ll or I64
    bool narrow = false; // h (strings: char*)
    bool wide = false;   // l or w (strings: wchar_t*)
    char conversion = 's';
};

bool parse_insert_format(std::wstring_view f, InsertFormat& s) {
    std::size_t i = 0;
    while (i < f.size() && std::wcschr(L"-+ #0", f[i]) && f[i])
        s.flags.push_back(static_cast<char>(f[i++]));
    auto number = [&](int& out) {
        if (i < f.size() && f[i] >= L'0' && f[i] <= L'9') {
            out = 0;
            while (i < f.size() && f[i] >= L'0' && f[i] <= L'9' && out < 100000)
                out = out * 10 + (f[i++] - L'0');
        }
    };
    number(s.width);
    if (i < f.size() && f[i] == L'.') {
        ++i;
        s.precision = 0;
        number(s.precision);
    }
    if (f.substr(i, 3) == L"I64") {
        s.wide64 = true;
        i += 3;
    } else if (f.substr(i, 3) == L"I32") {
        i += 3;
    } else if (f.substr(i, 2) == L"ll") {
        s.wide64 = true;
        i += 2;
    } else if (i < f.size() && f[i] == L'h') {
        s.narrow = true;
        ++i;
    } else if (i < f.size() && (f[i] == L'l' || f[i] == L'w')) {
        s.wide = true;
        ++i;
    }
    if (i + 1 != f.size())
        return false;
    wchar_t c = f[i];
    if (!std::wcschr(L"diuxXocCsSp", c) || !c)
        return false;
    s.conversion = static_cast<char>(c);
    return true;
}

std::wstring pad(std::wstring text, const InsertFormat& s) {
    if (s.precision >= 0 && text.size() > static_cast<std::size_t>(s.precision))
        text.resize(static_cast<std::size_t>(s.precision));
    if (s.width > 0 && text.size() < static_cast<std::size_t>(s.width)) {
        std::wstring fill(static_cast<std::size_t>(s.width) - text.size(), L' ');
        text = s.flags.find('-') != std::string::npos ? text + fill : fill + text;
    }
    return text;
}

std::wstring format_insert(DWORD_PTR arg, const InsertFormat& s) {
    switch (s.conversion) {
    case 's':
    case 'S': {
        // %s is the wide form in a wide call, %S and %hs the narrow one; %ls and %ws are wide.
        bool narrow = s.narrow || (s.conversion == 'S' && !s.wide);
        if (!arg)
            return pad(L"(null)", s);
        if (narrow)
            return pad(from_utf8(reinterpret_cast<const char*>(arg)), s);
        return pad(reinterpret_cast<const wchar_t*>(arg), s);
    }
    case 'c':
    case 'C':
        return pad(std::wstring(1, static_cast<wchar_t>(arg & (s.narrow ? 0xFF : 0xFFFFFFFF))), s);
    default: {
        std::string fmt = "%" + s.flags;
        if (s.width >= 0)
            fmt += std::to_string(s.width);
        if (s.precision >= 0)
            fmt += "." + std::to_string(s.precision);
        char buf[128];
        if (s.conversion == 'p') {
            std::snprintf(buf, sizeof buf, "%0*llX", static_cast<int>(sizeof(void*) * 2),
                          static_cast<unsigned long long>(arg));
            return pad(from_utf8(buf), s);
        }
        fmt += "ll";
        fmt.push_back(s.conversion);
        // Integers print the same in every C locale; no grouping is asked for.
        if (s.conversion == 'd' || s.conversion == 'i') {
            long long v = s.wide64 ? static_cast<long long>(arg) : static_cast<std::int32_t>(arg);
            std::snprintf(buf, sizeof buf, fmt.c_str(), v);
        } else {
            unsigned long long v =
                s.wide64 ? static_cast<unsigned long long>(arg) : static_cast<std::uint32_t>(arg);
            std::snprintf(buf, sizeof buf, fmt.c_str(), v);
        }
        return from_utf8(buf);
    }
    }
}

bool is_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The highest insert number a format uses.
int highest_insert(std::wstring_view text) {
    int highest = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != L'%')
            continue;
        if (is_digit(text[i + 1]) && text[i + 1] != L'0') {
            int n = text[i + 1] - L'0';
            if (i + 2 < text.size() && is_digit(text[i + 2]))
                n = n * 10 + (text[i + 2] - L'0');
            highest = std::max(highest, n);
        }
        ++i; // skip the escaped character ("%%1" is not an insert)
    }
    return highest;
}

// Breaks lines longer than `width` at the last blank before the limit.
std::wstring wrap(const std::wstring& text, std::size_t width) {
    std::wstring out;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == L'\n') {
            line_start = out.size();
            continue;
        }
        if (out.size() - line_start > width) {
            auto blank = out.find_last_of(L' ', out.size() - 1);
            if (blank != std::wstring::npos && blank > line_start) {
                out.replace(blank, 1, L"\r\n");
                line_start = blank + 2;
            }
        }
    }
    return out;
}

DWORD format(std::wstring_view text, DWORD flags, const std::vector<DWORD_PTR>* args,
             std::wstring& out) {
    DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    bool ignore = flags & FORMAT_MESSAGE_IGNORE_INSERTS;
    for (std::size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L'\r' || c == L'\n') {
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')
                ++i;
            out += width == FORMAT_MESSAGE_MAX_WIDTH_MASK ? L" " : L"\r\n";
            continue;
        }
        if (c != L'%' || i + 1 >= text.size()) {
            out.push_back(c);
            continue;
        }
        wchar_t e = text[++i];
        if (e == L'0')
            break;
        if (!is_digit(e)) {
            switch (e) {
            case L'n':
                out += L"\r\n";
                break;
            case L'r':
                out += L'\r';
                break;
            case L't':
                out += L'\t';
                break;
            default:
                out.push_back(e);
                break; // "%%", "% ", "%.", "%!" and any other
            }
            continue;
        }
        std::size_t start = i - 1;
        int n = e - L'0';
        if (i + 1 < text.size() && is_digit(text[i + 1]))
            n = n * 10 + (text[++i] - L'0');
        InsertFormat insert_format;
        if (i + 1 < text.size() && text[i + 1] == L'!') {
            auto close = text.find(L'!', i + 2);
            if (close == std::wstring_view::npos ||
                !parse_insert_format(text.substr(i + 2, close - i - 2), insert_format))
                return ERROR_INVALID_PARAMETER;
            i = close;
        }
        if (ignore) {
            out.append(text.substr(start, i + 1 - start));
            continue;
        }
        if (!args || static_cast<std::size_t>(n) > args->size())
            return ERROR_INVALID_PARAMETER;
        out += format_insert((*args)[static_cast<std::size_t>(n) - 1], insert_format);
    }
    if (width && width != FORMAT_MESSAGE_MAX_WIDTH_MASK)
        out = wrap(out, width);
    return ERROR_SUCCESS;
}

} // namespace

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPWSTR buffer, DWORD size, va_list* arguments) {
    bool from_string = flags & FORMAT_MESSAGE_FROM_STRING;
    bool from_system = flags & FORMAT_MESSAGE_FROM_SYSTEM;
    bool from_module = flags & FORMAT_MESSAGE_FROM_HMODULE;
    if (!buffer || (from_string && (from_system || from_module)) ||
        (!from_string && !from_system && !from_module)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    std::wstring_view text;
    std::wstring system;
    if (from_string) {
        if (!source) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text = static_cast<const wchar_t*>(source);
    } else {
        if (!from_system) {
            SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return 0;
        }
        if (!english_or_neutral(language_id)) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        const wchar_t* t = system_text(message_id);
        if (!t) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        // Message-table texts end with a line break, as the system's do.
        system = std::wstring(t) + L"\r\n";
        text = system;
    }

    std::vector<DWORD_PTR> args;
    bool have_args = false;
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && arguments) {
        int count = highest_insert(text);
        have_args = true;
        if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
            const auto* array = reinterpret_cast<const DWORD_PTR*>(arguments);
            args.assign(array, array + count);
        } else {
            // Every argument takes one pointer-sized slot of the list, as on 64-bit Windows.
            va_list copy;
            va_copy(copy, *arguments);
            for (int k = 0; k < count; ++k)
                args.push_back(va_arg(copy, DWORD_PTR));
            va_end(copy);
        }
    }

    std::wstring out;
    if (DWORD e = format(text, flags, have_args ? &args : nullptr, out)) {
        SetLastError(e);
        return 0;
    }

    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        std::size_t chars = std::max<std::size_t>(out.size() + 1, size);
        auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_ZEROINIT, chars * sizeof(wchar_t)));
        if (!block)
            return 0;
        std::wmemcpy(block, out.c_str(), out.size() + 1);
        *reinterpret_cast<LPWSTR*>(buffer) = block;
    } else {
        if (out.size() + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::wmemcpy(buffer, out.c_str(), out.size() + 1);
    }
    return static_cast<DWORD>(out.size());
}

} // namespace win32
