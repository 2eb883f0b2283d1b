#include "win32/handles.h"

#include <mutex>
#include <unordered_map>

namespace win32 {

namespace {
struct Table {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects;
    std::uintptr_t next = 0x100;
};

Table& table() {
    // Never destroyed: handles may still be closed by static destructors at exit.
    static Table* t = new Table;
    return *t;
}
} // namespace

HANDLE insert_handle(std::shared_ptr<Object> object) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    std::uintptr_t id = t.next;
    t.next += 4;
    t.objects.emplace(id, std::move(object));
    return reinterpret_cast<HANDLE>(id);
}

std::shared_ptr<Object> lookup_handle(HANDLE h) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

bool remove_handle(HANDLE h) {
    std::shared_ptr<Object> doomed; // destroyed outside the lock
    Table& t = table();
    {
        std::lock_guard lock(t.mutex);
        auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
        if (it == t.objects.end())
            return false;
        doomed = std::move(it->second);
        t.objects.erase(it);
    }
    return true;
}

std::size_t handle_count() {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    return t.objects.size();
}

BOOL CloseHandle(HANDLE h) {
    if (!remove_handle(h))
        return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOL DuplicateHandleSameProcess(HANDLE source, HANDLE* target) {
    auto object = lookup_handle(source);
    if (!object || !target)
        return fail(ERROR_INVALID_HANDLE);
    *target = insert_handle(std::move(object));
    return TRUE;
}

} // namespace win32
