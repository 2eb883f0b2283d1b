// One start-up's worth of package access, for whole-process measurement
// (bench/resource_start.sh): "map" finds the package resource and reads its first bytes as the
// extraction engine's first read would; "copy" reads the whole resource into memory, as a
// loader that copied resources would.
#include "win32/resource.h"

#include <cstdio>
#include <cstring>
#include <vector>

using namespace win32;

int main(int argc, char** argv) {
    bool copy = argc > 1 && std::strcmp(argv[1], "copy") == 0;
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(134), MAKEINTRESOURCEW(260));
    if (!r)
        return 1;
    auto* data = static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, r)));
    DWORD size = SizeofResource(nullptr, r);
    unsigned sum = 0;
    if (copy) {
        std::vector<unsigned char> bytes(data, data + size);
        for (std::size_t i = 0; i < bytes.size(); i += 4096)
            sum += bytes[i];
    } else {
        for (std::size_t i = 0; i < 4096 && i < size; ++i)
            sum += data[i];
    }
    std::printf("%u bytes, checksum %u\n", size, sum);
    return 0;
}
