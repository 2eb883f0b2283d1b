// Named mutexes and semaphores shared between the processes of one machine, and the wait
// on any waitable object.
//
// A named object lives in the machine's "objects" state folder for as long as some process
// holds a handle to it; the last CloseHandle (or the death of the last holder) makes it
// vanish, so the next creator starts fresh. Names are per machine: two machines never share
// an object. "Global\" and "Local\" name two namespaces, a bare name is a local one.
#pragma once

#include "win32/handles.h"
#include "win32/types.h"

namespace win32 {

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_ABANDONED = 0x00000080u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

constexpr DWORD MUTEX_MODIFY_STATE = 0x0001u;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001u;
constexpr DWORD SEMAPHORE_MODIFY_STATE = 0x0002u;
constexpr DWORD SEMAPHORE_ALL_ACCESS = 0x001F0003u;

// The security descriptor is accepted and not enforced: every process of the machine may
// open, wait on and release every object, which is what the program asks for anyway.
HANDLE CreateMutexW(const SECURITY_ATTRIBUTES* attributes, BOOL initial_owner, LPCWSTR name);
HANDLE OpenMutexW(DWORD desired_access, BOOL inherit_handle, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

HANDLE CreateSemaphoreW(const SECURITY_ATTRIBUTES* attributes, LONG initial_count,
                        LONG maximum_count, LPCWSTR name);
HANDLE OpenSemaphoreW(DWORD desired_access, BOOL inherit_handle, LPCWSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count);

// WAIT_OBJECT_0, WAIT_ABANDONED (a mutex whose owner ended without releasing it),
// WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

} // namespace win32
