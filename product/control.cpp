#include "product/control.h"

#include "win32/error.h"
#include "win32/handles.h"
#include "win32/sync.h"

namespace product {

using namespace win32;

std::wstring ready_object_name(DWORD process_id) {
    return L"Marquetta6.Ready." + std::to_wstring(process_id);
}

std::wstring quit_object_name(DWORD process_id) {
    return L"Marquetta6.Quit." + std::to_wstring(process_id);
}

bool wait_until_running(DWORD process_id, DWORD milliseconds) {
    // Created here when the product has not made it yet: either side may come first, and
    // the unit it releases stays until someone takes it while either holds a handle.
    HANDLE ready = CreateSemaphoreW(nullptr, 0, 1, ready_object_name(process_id).c_str());
    if (!ready)
        return false;
    const DWORD result = WaitForSingleObject(ready, milliseconds);
    const DWORD error = GetLastError();
    if (result == WAIT_OBJECT_0)
        ReleaseSemaphore(ready, 1, nullptr); // for whoever asks next
    CloseHandle(ready);
    if (result == WAIT_OBJECT_0)
        return true;
    SetLastError(result == WAIT_TIMEOUT ? ERROR_TIMEOUT : error);
    return false;
}

bool request_quit(DWORD process_id) {
    HANDLE quit =
        OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, quit_object_name(process_id).c_str());
    if (!quit)
        return false;
    const BOOL released = ReleaseSemaphore(quit, 1, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(quit);
    SetLastError(error);
    // A second request while the first is pending finds the count at its maximum: the
    // product is asked already.
    return released || error == ERROR_TOO_MANY_POSTS;
}

} // namespace product
