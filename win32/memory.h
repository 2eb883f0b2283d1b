// Local memory blocks, the allocator behind buffers the layer hands to the program
// (FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER, CommandLineToArgvW).
#pragma once

#include "win32/types.h"

namespace win32 {

constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

// A fixed block of `bytes` bytes (zeroed with LMEM_ZEROINIT), or null with
// ERROR_NOT_ENOUGH_MEMORY. Other flags (movable blocks) are refused with ERROR_INVALID_PARAMETER.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Frees a block of LocalAlloc; returns null on success (a null block is accepted).
HLOCAL LocalFree(HLOCAL block);

} // namespace win32
