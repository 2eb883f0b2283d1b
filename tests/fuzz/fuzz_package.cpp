// Arbitrary bytes as a decompressed package archive, fed through the extraction engine's
// sink: no crash, no leak, exactly one final event (finish or error), and nothing written
// outside the fuzzer's own folder of the machine.
#include "package/extract.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

namespace {

const std::wstring root = L"C:\\Fuzz";

bool inside_root(const std::wstring& path) {
    std::wstring full;
    if (win32::Machine::current().full_path(path, full) != 0)
        return false;
    return full.size() > root.size() && win32::iequals(full.substr(0, root.size()), root) &&
           full[root.size()] == L'\\';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte chooses how the archive is cut into pieces.
    std::size_t chunk = std::size_t{1} << (data[0] % 13);
    std::string archive(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::istringstream in(archive);

    dv::set_sharing_retry_delay(std::chrono::milliseconds(0));
    int finals = 0;
    bool ok = dv::extract_archive(
        in, {root + L"\\Install", L"Samples", root + L"\\Temp"},
        [&](dv::notification n) {
            if (n.get<dv::notification::finish>() || n.get<dv::notification::error>())
                ++finals;
            if (auto* b = n.get<dv::notification::file_begin>())
                // Tokens such as <WinDir> point elsewhere on the machine: leave those alone.
                if (!inside_root(b->entry.destination))
                    return dv::notification::skip;
            return dv::notification::proceed;
        },
        chunk);
    if (finals != 1)
        std::abort();
    (void)ok;

    win32::HostPath hp;
    if (win32::Machine::current().map(root, hp) == 0 && hp.exists) {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(hp.host, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(hp.host, ec);
    }
    return 0;
}
