#include "win32/resource.h"

#include "win32/error.h"
#include "win32/locale.h"
#include "win32/resformat.h"
#include "win32/sysinfo.h"
#include "win32/text.h"

#if __has_include("win32/module.h")
#include "win32/module.h"
#define DV_HAVE_MODULES 1
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace win32 {

using namespace resformat;

// ---- keys ---------------------------------------------------------------------------------------

ResourceKey ResourceKey::from(LPCWSTR p) {
    ResourceKey k;
    if (IS_INTRESOURCE(p)) {
        k.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(p));
        return k;
    }
    std::wstring_view s(p);
    if (s.size() > 1 && s[0] == L'#') {
        unsigned long v = 0;
        bool digits = s.size() <= 6;
        for (wchar_t c : s.substr(1)) {
            if (c < L'0' || c > L'9')
                digits = false;
            else
                v = v * 10 + static_cast<unsigned long>(c - L'0');
        }
        if (digits && v <= 0xFFFF) {
            k.id = static_cast<WORD>(v);
            return k;
        }
    }
    k.is_string = true;
    k.name = std::wstring(s);
    return k;
}

bool ResourceKey::matches(const ResourceKey& other) const {
    if (is_string != other.is_string)
        return false;
    return is_string ? iequals(name, other.name) : id == other.id;
}

std::string ResourceKey::text() const {
    return is_string ? "\"" + to_utf8(name) + "\"" : std::to_string(id);
}

// ---- reading a directory ------------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxEntries = 1 << 16;

// A u16-length-prefixed UTF-16LE name at `offset` of a table of `size` bytes.
bool read_counted_name(const BYTE* table, std::size_t size, std::size_t offset, std::wstring& out) {
    if (offset > size || size - offset < 2)
        return false;
    std::size_t units = get16(table + offset);
    if ((size - offset - 2) / 2 < units)
        return false;
    out = from_utf16le(table + offset + 2, units * 2);
    return true;
}

} // namespace

bool ResourceImage::read_ours(const BYTE* bytes, std::size_t size, DWORD& error) {
    if (size < kTrailerSize || std::memcmp(bytes + size - kTrailerSize, kTrailerMagic, 8) != 0)
        return false;
    const BYTE* trailer = bytes + size - kTrailerSize;
    std::uint64_t at = get64(trailer + 8), length = get64(trailer + 16);
    error = ERROR_RESOURCE_DATA_NOT_FOUND; // from here on the file is ours but damaged
    if (at > size - kTrailerSize || length > size - kTrailerSize - at || length < kHeaderSize)
        return true;
    const BYTE* dir = bytes + at;
    if (std::memcmp(dir, kMagic, 8) != 0)
        return true;
    std::uint64_t count = get32(dir + 8), entries_at = get32(dir + 12), names_at = get32(dir + 16),
                  names_size = get32(dir + 20);
    if (count > kMaxEntries || entries_at > length || (length - entries_at) / kEntrySize < count ||
        names_at > length || names_size > length - names_at)
        return true;
    std::vector<Entry> entries;
    auto key = [&](std::uint32_t raw, ResourceKey& k) {
        if (!(raw & kStringFlag)) {
            if (raw > 0xFFFF)
                return false;
            k.id = static_cast<WORD>(raw);
            return true;
        }
        k.is_string = true;
        return read_counted_name(dir + names_at, names_size, raw & ~kStringFlag, k.name);
    };
    for (std::uint64_t i = 0; i < count; ++i) {
        const BYTE* e = dir + entries_at + i * kEntrySize;
        Entry entry;
        std::uint64_t data_at = get64(e + 16), data_size = get64(e + 24);
        if (!key(get32(e), entry.type) || !key(get32(e + 4), entry.name) || data_at > length ||
            data_size > length - data_at)
            return true;
        entry.language = get16(e + 8);
        entry.data = dir + data_at;
        entry.size = data_size;
        entries.push_back(std::move(entry));
    }
    entries_ = std::move(entries);
    error = entries_.empty() ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_SUCCESS;
    return true;
}

bool ResourceImage::read_pe(const BYTE* bytes, std::size_t size, DWORD& error) {
    if (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')
        return false;
    std::size_t pe = get32(bytes + 0x3C);
    if (pe > size || size - pe < 24 || std::memcmp(bytes + pe, "PE\0\0", 4) != 0)
        return false;
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    std::size_t sections = get16(bytes + pe + 6);
    std::size_t optional_size = get16(bytes + pe + 20);
    std::size_t opt = pe + 24;
    if (optional_size > size - opt || optional_size < 2)
        return true;
    WORD magic = get16(bytes + opt);
    std::size_t dirs = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    if (!dirs || optional_size < dirs + 3 * 8 || get32(bytes + opt + dirs - 4) < 3)
        return true;
    std::uint32_t rsrc_rva = get32(bytes + opt + dirs + 16),
                  rsrc_size = get32(bytes + opt + dirs + 20);
    std::size_t table = opt + optional_size;
    if (rsrc_rva == 0 || sections > 96 || table > size || (size - table) / 40 < sections)
        return true;

    // Where a relative virtual address lies in the file, with at least `need` bytes there.
    auto file_offset = [&](std::uint32_t rva, std::size_t need, std::size_t& out) {
        for (std::size_t s = 0; s < sections; ++s) {
            const BYTE* sec = bytes + table + s * 40;
            std::uint32_t va = get32(sec + 12), raw_size = get32(sec + 16),
                          raw_at = get32(sec + 20);
            std::uint32_t span = std::max(get32(sec + 8), raw_size);
            if (rva < va || rva - va >= span)
                continue;
            std::uint64_t inside = rva - va;
            if (inside > raw_size || raw_size - inside < need || raw_at > size ||
                size - raw_at < raw_size)
                return false;
            out = static_cast<std::size_t>(raw_at + inside);
            return true;
        }
        return false;
    };
    std::size_t root = 0;
    if (!file_offset(rsrc_rva, 16, root))
        return true;
    std::size_t limit = std::min<std::size_t>(size - root, rsrc_size ? rsrc_size : size - root);
    const BYTE* rsrc = bytes + root;

    std::vector<Entry> entries;
    auto key_of = [&](std::uint32_t raw, ResourceKey& k) {
        if (!(raw & 0x80000000u)) {
            k.id = static_cast<WORD>(raw & 0xFFFF);
            return true;
        }
        k.is_string = true;
        return read_counted_name(rsrc, limit, raw & 0x7FFFFFFFu, k.name);
    };
    // Three levels: type, name, language. Anything out of bounds ends the walk of that branch.
    struct Level {
        std::size_t at;
        int depth;
        ResourceKey type, name;
    };
    std::vector<Level> todo{{0, 0, {}, {}}};
    while (!todo.empty() && entries.size() < kMaxEntries) {
        Level lv = todo.back();
        todo.pop_back();
        if (lv.at > limit || limit - lv.at < 16)
            continue;
        std::size_t n =
            static_cast<std::size_t>(get16(rsrc + lv.at + 12)) + get16(rsrc + lv.at + 14);
        if ((limit - lv.at - 16) / 8 < n)
            continue;
        for (std::size_t i = n; i-- > 0;) { // pushed in reverse so that entries keep file order
            const BYTE* e = rsrc + lv.at + 16 + i * 8;
            std::uint32_t id = get32(e), target = get32(e + 4);
            ResourceKey k;
            if (!key_of(id, k))
                continue;
            bool is_dir = target & 0x80000000u;
            std::size_t off = target & 0x7FFFFFFFu;
            if (lv.depth < 2) {
                if (!is_dir)
                    continue;
                Level next{off, lv.depth + 1, lv.type, lv.name};
                (lv.depth == 0 ? next.type : next.name) = k;
                todo.push_back(std::move(next));
            } else if (!is_dir && off <= limit && limit - off >= 16) {
                std::size_t data_at = 0;
                std::uint32_t data_size = get32(rsrc + off + 4);
                if (!file_offset(get32(rsrc + off), data_size, data_at))
                    continue;
                Entry entry{lv.type, lv.name, k.id, bytes + data_at, data_size};
                entries.push_back(std::move(entry));
            }
        }
    }
    entries_ = std::move(entries);
    error = entries_.empty() ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_SUCCESS;
    return true;
}

std::shared_ptr<ResourceImage> ResourceImage::parse(const BYTE* bytes, std::size_t size,
                                                    DWORD& error) {
    std::shared_ptr<ResourceImage> image(new ResourceImage);
    error = ERROR_BAD_FORMAT;
    if (!image->read_ours(bytes, size, error) && !image->read_pe(bytes, size, error)) {
        // One of our programs or modules without an attached directory has no resources.
        bool elf = size >= 4 && std::memcmp(bytes,
                                            "\x7F"
                                            "ELF",
                                            4) == 0;
        error = elf ? ERROR_RESOURCE_DATA_NOT_FOUND : ERROR_BAD_FORMAT;
    }
    return error ? nullptr : image;
}

std::shared_ptr<ResourceImage> ResourceImage::open(const fs::path& host, DWORD& error) {
    int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = error_from_errno(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        ::close(fd);
        error = ERROR_BAD_FORMAT;
        return nullptr;
    }
    auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    int e = errno;
    ::close(fd);
    if (map == MAP_FAILED) {
        error = error_from_errno(e);
        return nullptr;
    }
    auto image = parse(static_cast<const BYTE*>(map), size, error);
    if (!image) {
        ::munmap(map, size);
        return nullptr;
    }
    image->mapping_ = map;
    image->mapping_size_ = size;
    return image;
}

ResourceImage::~ResourceImage() {
    if (mapping_)
        ::munmap(mapping_, mapping_size_);
}

bool ResourceImage::owns(const void* entry) const {
    auto* p = static_cast<const Entry*>(entry);
    return !entries_.empty() && std::less_equal<const Entry*>()(entries_.data(), p) &&
           std::less<const Entry*>()(p, entries_.data() + entries_.size()) &&
           (reinterpret_cast<const BYTE*>(p) - reinterpret_cast<const BYTE*>(entries_.data())) %
                   sizeof(Entry) ==
               0;
}

const ResourceImage::Entry* ResourceImage::find(const ResourceKey& type, const ResourceKey& name,
                                                WORD language, bool any_language,
                                                DWORD& error) const {
    std::vector<const Entry*> candidates;
    bool type_seen = false;
    for (const auto& e : entries_) {
        if (!e.type.matches(type))
            continue;
        type_seen = true;
        if (e.name.matches(name))
            candidates.push_back(&e);
    }
    if (candidates.empty()) {
        error = type_seen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
        return nullptr;
    }
    // A name stored in one language only (every string block) needs no language order.
    if (language == 0 && any_language && candidates.size() == 1)
        return candidates.front();
    std::vector<WORD> order;
    if (language == 0 && any_language) {
        LANGID thread = LANGIDFROMLCID(GetThreadLocale());
        LANGID user = GetUserDefaultLangID();
        order = {0, thread, user, MAKELANGID(PRIMARYLANGID(user), 1), 0x0400, 0x0800, 0x0409};
    } else {
        order = {language, MAKELANGID(PRIMARYLANGID(language), 0), 0, 0x0400};
    }
    for (WORD want : order)
        for (const Entry* e : candidates)
            if (e->language == want)
                return e;
    if (language == 0 && any_language)
        return candidates.front();
    error = ERROR_RESOURCE_LANG_NOT_FOUND;
    return nullptr;
}

// ---- modules
// ----------------------------------------------------------------------------------------

namespace {

struct Images {
    std::mutex mutex;
    // With the file it was read from: a handle value can come back for another module.
    std::map<HMODULE, std::pair<fs::path, std::shared_ptr<ResourceImage>>> by_module;
};

Images& images() {
    static Images* i = new Images; // never destroyed: resource pointers outlive static destructors
    return *i;
}

bool host_path_of(HMODULE module, fs::path& out) {
#ifdef DV_HAVE_MODULES
    if (!module) {
        // The running program's file does not change; the text layer asks for it constantly.
        static const fs::path self = [] {
            fs::path p;
            return module_host_path(nullptr, p) ? p : fs::path();
        }();
        out = self;
        return !out.empty();
    }
    return module_host_path(module, out);
#else
    if (module)
        return false;
    out = "/proc/self/exe";
    return true;
#endif
}

} // namespace

std::shared_ptr<ResourceImage> module_resources(HMODULE module, DWORD& error) {
    // The loader's lock is never taken inside ours: FreeLibrary calls in with its own held.
    fs::path path;
    if (!host_path_of(module, path)) {
        error = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    Images& all = images();
    std::lock_guard lock(all.mutex);
    if (auto it = all.by_module.find(module);
        it != all.by_module.end() && it->second.first == path) {
        error = ERROR_SUCCESS;
        return it->second.second;
    }
    auto image = ResourceImage::open(path, error);
    if (image)
        all.by_module[module] = {path, image};
    return image;
}

void forget_module_resources(HMODULE module) {
    std::shared_ptr<ResourceImage> doomed;
    Images& all = images();
    std::lock_guard lock(all.mutex);
    if (auto it = all.by_module.find(module); it != all.by_module.end()) {
        doomed = std::move(it->second.second);
        all.by_module.erase(it);
    }
}

// ---- the Windows operations
// -----------------------------------------------------------------------

namespace {

HRSRC find(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, bool any_language) {
    if (!type || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = 0;
    auto image = module_resources(module, error);
    if (!image) {
        SetLastError(error == ERROR_BAD_FORMAT ? ERROR_RESOURCE_DATA_NOT_FOUND : error);
        return nullptr;
    }
    const auto* entry = image->find(ResourceKey::from(type), ResourceKey::from(name), language,
                                    any_language, error);
    if (!entry) {
        SetLastError(error);
        return nullptr;
    }
    return const_cast<ResourceImage::Entry*>(entry);
}

const ResourceImage::Entry* entry_of(HMODULE module, HRSRC resource) {
    DWORD error = 0;
    auto image = module_resources(module, error);
    if (!image || !resource || !image->owns(resource)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return static_cast<const ResourceImage::Entry*>(resource);
}

} // namespace

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    return find(module, type, name, 0, true);
}

HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
    return find(module, type, name, language, language == 0);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    const auto* e = entry_of(module, resource);
    return e ? const_cast<BYTE*>(e->data) : nullptr;
}

LPVOID LockResource(HGLOBAL data) {
    return data;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    const auto* e = entry_of(module, resource);
    return e ? static_cast<DWORD>(std::min<std::size_t>(e->size, 0xFFFFFFFFu)) : 0;
}

int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int chars) {
    if (!buffer || chars <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = 0;
    HRSRC block = FindResourceW(module, MAKEINTRESOURCEW(static_cast<WORD>((id & 0xFFFF) / 16 + 1)),
                                RT_STRING);
    if (!block)
        return 0;
    const auto* e = static_cast<const ResourceImage::Entry*>(block);
    // Skip to the entry; a block cut short simply lacks the later ones.
    std::size_t at = 0;
    for (UINT k = 0; k < id % 16; ++k) {
        if (e->size - at < 2)
            return 0;
        at += 2 + std::size_t{get16(e->data + at)} * 2;
        if (at > e->size)
            return 0;
    }
    if (e->size - at < 2)
        return 0;
    std::size_t units = get16(e->data + at);
    if ((e->size - at - 2) / 2 < units)
        return 0;
    std::wstring text = from_utf16le(e->data + at + 2, units * 2);
    std::size_t n = std::min(text.size(), static_cast<std::size_t>(chars - 1));
    std::wmemcpy(buffer, text.data(), n);
    buffer[n] = 0;
    if (text.empty())
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return static_cast<int>(n);
}

} // namespace win32
