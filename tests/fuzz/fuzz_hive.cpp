// Arbitrary bytes as a hive file: parsing never crashes, and whatever parses is written back
// to text that parses to the same tree and the same text again.
#include "win32/hive.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace win32::hive;
    Document doc;
    ParseError err;
    if (!parse(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.reg", doc, err))
        return 0;
    for (const auto& [upper_name, root] : doc.top.subkeys()) {
        std::string once = serialize(*root, root->name());
        Document again;
        if (!parse(once, "again.reg", again, err))
            std::abort();
        const Key* back = again.top.find(root->name());
        if (!back || serialize(*back, back->name()) != once)
            std::abort();
    }
    return 0;
}
