// Resources of a program or module, read in place from its file.
//
// Our programs and modules are ELF files that carry a resource directory appended by the
// build (`rescomp attach`, see docs/architecture.md); real Windows PE files carry theirs in
// the resource section. Either way the file is mapped read-only once and every resource is a
// pointer into that mapping: nothing is copied, whatever its size.
#pragma once

#include "win32/types.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace win32 {

// Resource types.
inline LPCWSTR MAKEINTRESOURCEW(WORD id) {
    return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(id));
}
inline bool IS_INTRESOURCE(LPCWSTR p) {
    return (reinterpret_cast<ULONG_PTR>(p) >> 16) == 0;
}
constexpr WORD RT_CURSOR_ID = 1;
constexpr WORD RT_BITMAP_ID = 2;
constexpr WORD RT_ICON_ID = 3;
constexpr WORD RT_MENU_ID = 4;
constexpr WORD RT_DIALOG_ID = 5;
constexpr WORD RT_STRING_ID = 6;
constexpr WORD RT_RCDATA_ID = 10;
constexpr WORD RT_MESSAGETABLE_ID = 11;
constexpr WORD RT_GROUP_ICON_ID = 14;
constexpr WORD RT_VERSION_ID = 16;
constexpr WORD RT_MANIFEST_ID = 24;
inline const LPCWSTR RT_BITMAP = MAKEINTRESOURCEW(RT_BITMAP_ID);
inline const LPCWSTR RT_ICON = MAKEINTRESOURCEW(RT_ICON_ID);
inline const LPCWSTR RT_DIALOG = MAKEINTRESOURCEW(RT_DIALOG_ID);
inline const LPCWSTR RT_STRING = MAKEINTRESOURCEW(RT_STRING_ID);
inline const LPCWSTR RT_RCDATA = MAKEINTRESOURCEW(RT_RCDATA_ID);
inline const LPCWSTR RT_GROUP_ICON = MAKEINTRESOURCEW(RT_GROUP_ICON_ID);
inline const LPCWSTR RT_VERSION = MAKEINTRESOURCEW(RT_VERSION_ID);
inline const LPCWSTR RT_MANIFEST = MAKEINTRESOURCEW(RT_MANIFEST_ID);

// The running program (null module) or a loaded module. Names and types are numbers
// (MAKEINTRESOURCEW, or "#123") or strings compared without regard to case.
//
// FindResourceW takes the first language present in this order: neutral (0), the thread
// locale's, the user's, the user's primary language with its default sub-language, 0x0400,
// 0x0800, 0x0409, then any. FindResourceExW takes the language asked for, else its primary
// language alone, else neutral (0, then 0x0400); 0 behaves as FindResourceW. Failures: 1812 (the
// file holds no resources), 1813, 1814, 1815, or 126 for an unknown module.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);
// The string `id` of the RT_STRING tables, copied with at most `chars` - 1 characters and a
// null. Returns the length copied, 0 when there is no such string (or it is empty).
int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int chars);

// ---- for the rest of win32/ and the tools ----------------------------------------------------

// A type or name as the directory stores it.
struct ResourceKey {
    bool is_string = false;
    WORD id = 0;
    std::wstring name; // when is_string

    static ResourceKey from(LPCWSTR p); // MAKEINTRESOURCEW, "#123" or a name
    bool matches(const ResourceKey& other) const;
    std::string text() const; // "16" or "\"PACKAGE\""
};

// The resources of one file.
class ResourceImage {
public:
    struct Entry {
        ResourceKey type;
        ResourceKey name;
        WORD language = 0;
        const BYTE* data = nullptr;
        std::size_t size = 0;
    };

    // Maps a host file and reads its resource directory. Errors: the file's open error,
    // ERROR_BAD_FORMAT (11) for a file that is neither ours nor PE, 1812 when it holds none.
    static std::shared_ptr<ResourceImage> open(const std::filesystem::path& host, DWORD& error);
    // Reads the resources of bytes held by the caller (which must outlive the image).
    static std::shared_ptr<ResourceImage> parse(const BYTE* bytes, std::size_t size, DWORD& error);
    ~ResourceImage();
    ResourceImage(const ResourceImage&) = delete;
    ResourceImage& operator=(const ResourceImage&) = delete;

    const std::vector<Entry>& entries() const { return entries_; }
    // With language 0 and `any_language`, the FindResourceW order above; else as FindResourceExW.
    const Entry* find(const ResourceKey& type, const ResourceKey& name, WORD language,
                      bool any_language, DWORD& error) const;
    bool owns(const void* entry) const;

private:
    ResourceImage() = default;
    bool read_ours(const BYTE* bytes, std::size_t size, DWORD& error);
    bool read_pe(const BYTE* bytes, std::size_t size, DWORD& error);

    void* mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
    std::vector<Entry> entries_;
};

// The resources of a module (null: the running program), mapped on first use and kept while
// the module stays loaded. Null with the error set when there are none.
std::shared_ptr<ResourceImage> module_resources(HMODULE module, DWORD& error);
// Forgets a module's mapping (its resource pointers become invalid), as FreeLibrary does.
void forget_module_resources(HMODULE module);

} // namespace win32
