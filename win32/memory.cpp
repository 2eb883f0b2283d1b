#include "win32/memory.h"

#include "win32/error.h"

#include <cstdlib>

namespace win32 {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (flags & ~LMEM_ZEROINIT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A zero-byte request still gives a distinct block, as Windows does.
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                      : std::malloc(bytes ? bytes : 1);
    if (!p)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL block) {
    std::free(block);
    return nullptr;
}

} // namespace win32
