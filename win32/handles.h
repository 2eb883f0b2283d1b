// The process's handle table. Every kernel object the layer hands out (files, mutexes,
// semaphores, processes, tokens, registry keys, modules, find searches) is an Object held
// by shared pointer; the HANDLE the program sees is a small number that indexes it.
#pragma once

#include "win32/types.h"

#include <memory>

namespace win32 {

class Object {
public:
    virtual ~Object() = default;
    // Whether WaitForSingleObject can wait on it; objects that can override wait().
    virtual bool waitable() const { return false; }
    // Returns WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED (last error set).
    virtual DWORD wait(DWORD /*milliseconds*/) { return 0xFFFFFFFFu; }
};

// Adds `object` to the table; returns its new handle (never null or INVALID_HANDLE_VALUE).
HANDLE insert_handle(std::shared_ptr<Object> object);
// The object behind `h`, or null (with ERROR_INVALID_HANDLE set) for an unknown handle.
std::shared_ptr<Object> lookup_handle(HANDLE h);
template <class T> std::shared_ptr<T> lookup_handle_as(HANDLE h);
// Removes the handle; the object is destroyed when nothing else holds it.
bool remove_handle(HANDLE h);
// Number of open handles (for leak checks in tests).
std::size_t handle_count();

BOOL CloseHandle(HANDLE h);
BOOL DuplicateHandleSameProcess(HANDLE source, HANDLE* target);

} // namespace win32

#include "win32/error.h"

template <class T> std::shared_ptr<T> win32::lookup_handle_as(HANDLE h) {
    auto object = std::dynamic_pointer_cast<T>(lookup_handle(h));
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}
