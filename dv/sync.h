// The named objects by which the installer and the product notice each other: the product
// mutex, owned by one installer at a time, and the instance counter, a semaphore to which
// every running process of the product family adds one unit.
#pragma once

#include "win32/types.h"

#include <string>

namespace dv {

// Create or open a named object that every process of every user may open, wait on and
// release: the name gets the system's namespace prefix (global_namespace_prefix) and the
// object a descriptor granting Everyone full access. The last error is the one the creation
// left (ERROR_ALREADY_EXISTS when the object existed). Null when it could not be made.
// Raises hresult_error when the descriptor cannot be built (E_OUTOFMEMORY, ...).
win32::HANDLE create_secure_mutex(bool initial_owner, const wchar_t* name);
win32::HANDLE create_secure_semaphore(win32::LONG initial_count, win32::LONG maximum_count,
                                      const wchar_t* name);

// The product mutex's name, before its namespace prefix.
std::wstring product_mutex_name();
// The instance counter's name, before its namespace prefix.
std::wstring instance_counter_name();

// A named mutex that remembers whether this object owns it.
class NamedMutex {
public:
    // Creates or opens the mutex: secure through create_secure_mutex, otherwise with default
    // security and the name as given. Asking for ownership of a mutex that already existed
    // waits until it is obtained.
    NamedMutex(const wchar_t* name, bool initial_owner, bool secure);
    // Releases the mutex when owned, then closes it.
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Takes the mutex if it is free (an abandoned one counts as free), without waiting.
    // Returns whether this object owns it.
    bool try_lock();
    // Gives the mutex up.
    void release();

    win32::HANDLE handle() const { return handle_; }
    bool owned() const { return owned_; }

private:
    win32::HANDLE handle_ = nullptr;
    bool owned_ = false;
};

// A process's share in the product family's instance counter.
class InstanceCounter {
public:
    constexpr InstanceCounter() = default;
    // Takes back the units this process added (or gives back those it took), then closes
    // the counter.
    ~InstanceCounter();
    InstanceCounter(const InstanceCounter&) = delete;
    InstanceCounter& operator=(const InstanceCounter&) = delete;

    // Creates or opens the counter and adds this process's unit; sets counterReady when that
    // worked. Failures are not reported.
    void register_instance();
    // How many processes are registered (this one included); 0 when the counter cannot be
    // probed. Briefly adds a unit of its own.
    win32::LONG running_count();

    win32::HANDLE handle() const { return handle_; }
    win32::LONG held() const { return held_; }

private:
    win32::HANDLE handle_ = nullptr;
    win32::LONG held_ = 0; // units added (positive) or taken (negative) and not undone
};

// True once this process's unit is in the counter.
inline bool counterReady = false;

// The process's counter, created on first use and finished when the process exits normally.
// A program registers it during its static initialisation (dv/startup.h).
InstanceCounter& instance_counter();

} // namespace dv
