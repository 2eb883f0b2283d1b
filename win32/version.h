// Version resources (VS_VERSIONINFO) of programs and modules: read from real PE files and
// from our ELF programs, which carry the same block among their resources.
#pragma once

#include "win32/types.h"

#include <string>
#include <utility>
#include <vector>

namespace win32 {

struct VS_FIXEDFILEINFO {
    DWORD dwSignature; // 0xFEEF04BD
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003F;
constexpr DWORD VS_FF_DEBUG = 0x01;
constexpr DWORD VS_FF_PRERELEASE = 0x02;
constexpr DWORD VS_FF_PATCHED = 0x04;
constexpr DWORD VS_FF_PRIVATEBUILD = 0x08;
constexpr DWORD VS_FF_INFOINFERRED = 0x10;
constexpr DWORD VS_FF_SPECIALBUILD = 0x20;
constexpr DWORD VOS_NT_WINDOWS32 = 0x00040004;
constexpr DWORD VFT_APP = 0x1;
constexpr DWORD VFT_DLL = 0x2;

// The size of the buffer GetFileVersionInfoW fills for `file` (a Windows path), 0 with the
// error when the file has no readable version resource (2/3 missing file, 11 neither ours
// nor PE, 1812 no resources, 1813 no version resource, 13 a damaged one). *handle is set to 0.
DWORD GetFileVersionInfoSizeW(LPCWSTR file, DWORD* handle);
// Fills `data` (`size` bytes, at least what GetFileVersionInfoSizeW said; else 122).
BOOL GetFileVersionInfoW(LPCWSTR file, DWORD handle, DWORD size, LPVOID data);
// Looks a value up in a buffer GetFileVersionInfoW filled: "\" (VS_FIXEDFILEINFO, 52 bytes),
// "\VarFileInfo\Translation" (pairs of language and code page, in bytes) or
// "\StringFileInfo\<lang><cp>\<name>" (a string, its length in characters with the null).
// Keys compare without regard to case. FALSE with 1813 when there is no such value.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, UINT* length);

// ---- for the rest of win32/ and the tools ----------------------------------------------------

// What a version resource says, in the form the resource compiler takes it.
struct VersionDescription {
    DWORD file_version_ms = 0, file_version_ls = 0;
    DWORD product_version_ms = 0, product_version_ls = 0;
    DWORD flags_mask = VS_FFI_FILEFLAGSMASK, flags = 0;
    DWORD os = VOS_NT_WINDOWS32, type = VFT_APP, subtype = 0;
    struct Table {
        std::wstring key; // "040904B0": language and code page in hexadecimal
        std::vector<std::pair<std::wstring, std::wstring>> strings;
    };
    std::vector<Table> tables;
    std::vector<std::pair<WORD, WORD>> translations; // language, code page
};

// The VS_VERSIONINFO block of a description, as a resource stores it.
std::string build_version_block(const VersionDescription& description);

// Size of the buffer for a raw VS_VERSIONINFO block and the filling of it; 0 / false for a
// block that does not hold together.
DWORD version_buffer_size(const BYTE* block, std::size_t size);
bool fill_version_buffer(const BYTE* block, std::size_t size, BYTE* buffer,
                         std::size_t buffer_size);

} // namespace win32
