#include "dv/sync.h"

#include "dv/product.h"
#include "dv/security.h"
#include "win32/error.h"
#include "win32/handles.h"
#include "win32/sync.h"

namespace dv {

using namespace win32;

namespace {

template <class Create> HANDLE create_secure(DWORD access, const wchar_t* name, Create create) {
    const std::wstring full = global_namespace_prefix() + (name ? name : L"");
    HANDLE handle = nullptr;
    DWORD error = 0;
    {
        SecurityDescriptor sd = make_everyone_security(access);
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), sd.get(), FALSE};
        handle = create(&attributes, full.c_str());
        error = GetLastError();
    }
    SetLastError(error);
    return handle;
}

} // namespace

HANDLE create_secure_mutex(bool initial_owner, const wchar_t* name) {
    return create_secure(MUTEX_ALL_ACCESS, name,
                         [&](const SECURITY_ATTRIBUTES* sa, const wchar_t* full) {
                             return CreateMutexW(sa, initial_owner, full);
                         });
}

HANDLE create_secure_semaphore(LONG initial_count, LONG maximum_count, const wchar_t* name) {
    return create_secure(SEMAPHORE_ALL_ACCESS, name,
                         [&](const SECURITY_ATTRIBUTES* sa, const wchar_t* full) {
                             return CreateSemaphoreW(sa, initial_count, maximum_count, full);
                         });
}

std::wstring product_mutex_name() {
    return std::wstring(productKey) + productMutexSuffix;
}

std::wstring instance_counter_name() {
    return std::wstring(productKey) + instanceCounterSuffix;
}

// ---- NamedMutex -------------------------------------------------------------------------------

NamedMutex::NamedMutex(const wchar_t* name, bool initial_owner, bool secure) {
    try {
        handle_ = secure ? create_secure_mutex(initial_owner, name)
                         : CreateMutexW(nullptr, initial_owner, name);
    } catch (const hresult_error&) {
        // Without its descriptor the mutex is not made; try_lock then fails as for a mutex
        // that could not be opened.
        handle_ = nullptr;
    }
    if (!handle_) {
        owned_ = false;
    } else if (initial_owner && GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD result = WaitForSingleObject(handle_, INFINITE);
        owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    } else {
        owned_ = initial_owner;
    }
}

NamedMutex::~NamedMutex() {
    if (!handle_)
        return;
    if (owned_)
        ReleaseMutex(handle_);
    CloseHandle(handle_);
}

bool NamedMutex::try_lock() {
    // Owning it already: a second wait would count the mutex twice, and the one release
    // at destruction would leave it held.
    if (owned_)
        return true;
    const DWORD result = handle_ ? WaitForSingleObject(handle_, 0) : WAIT_FAILED;
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return owned_;
}

void NamedMutex::release() {
    if (handle_ && owned_)
        ReleaseMutex(handle_);
    owned_ = false;
}

// ---- InstanceCounter --------------------------------------------------------------------------

void InstanceCounter::register_instance() {
    if (!handle_) {
        try {
            handle_ =
                create_secure_semaphore(0, instanceCounterMaximum, instance_counter_name().c_str());
        } catch (const hresult_error&) {
            return;
        }
        if (!handle_)
            return;
    }
    if (ReleaseSemaphore(handle_, 1, nullptr)) {
        ++held_;
        counterReady = true;
    }
}

LONG InstanceCounter::running_count() {
    LONG previous = 0;
    if (!handle_ || !ReleaseSemaphore(handle_, 1, &previous))
        return 0;
    WaitForSingleObject(handle_, 0);
    return previous;
}

InstanceCounter::~InstanceCounter() {
    if (!handle_)
        return;
    if (held_ > 0) {
        LONG taken = 0;
        while (taken < held_ && WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0)
            ++taken;
        // All or nothing: units taken from someone else's share go back.
        if (taken < held_ && taken > 0)
            ReleaseSemaphore(handle_, taken, nullptr);
        if (taken == held_)
            held_ = 0;
    } else if (held_ < 0) {
        ReleaseSemaphore(handle_, -held_, nullptr);
        held_ = 0;
    }
    CloseHandle(handle_);
    handle_ = nullptr;
}

InstanceCounter& instance_counter() {
    static InstanceCounter counter;
    return counter;
}

} // namespace dv
