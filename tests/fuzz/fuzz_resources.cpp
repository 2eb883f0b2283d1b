// Resource directories (ours and PE) and the version blocks in them: every entry must lie
// inside the input, and reading a version block never leaves its buffer.
#include "win32/resource.h"
#include "win32/version.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes, so that the sanitizer sees any read past the end.
    std::vector<std::uint8_t> bytes(data, data + size);
    win32::DWORD error = 0;
    auto image = win32::ResourceImage::parse(bytes.data(), bytes.size(), error);
    if (!image)
        return 0;
    for (const auto& e : image->entries()) {
        if (e.data < bytes.data() || e.size > bytes.size() ||
            static_cast<std::size_t>(e.data - bytes.data()) > bytes.size() - e.size)
            __builtin_trap();
        if (e.type.is_string || e.type.id != win32::RT_VERSION_ID)
            continue;
        std::vector<std::uint8_t> block(e.data, e.data + e.size);
        win32::DWORD need = win32::version_buffer_size(block.data(), block.size());
        if (!need)
            continue;
        std::vector<std::uint8_t> buffer(need);
        if (!win32::fill_version_buffer(block.data(), block.size(), buffer.data(), buffer.size()))
            __builtin_trap();
        for (const wchar_t* q :
             {L"\\", L"\\VarFileInfo\\Translation", L"\\StringFileInfo\\040904B0\\ProductName",
              L"\\StringFileInfo", L"\\\\x\\\\"}) {
            void* p = nullptr;
            win32::UINT n = 0;
            if (win32::VerQueryValueW(buffer.data(), q, &p, &n) && n) {
                auto* at = static_cast<std::uint8_t*>(p);
                if (at < buffer.data() || at >= buffer.data() + buffer.size())
                    __builtin_trap();
            }
        }
    }
    return 0;
}
