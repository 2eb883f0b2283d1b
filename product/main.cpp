// Marquetta.exe as the installer meets it: a program with the product's version resource
// that counts in the product family's instance counter while it runs, registers its
// document types when started with "/Register /Background" (ending with -10), and otherwise
// runs until asked to quit. It has no window, so it never needs a display.

#include "product/control.h"
#include "win32/error.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/module.h"
#include "win32/process.h"
#include "win32/registry.h"
#include "win32/sync.h"
#include "win32/text.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace win32;

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_signal(int) {
    g_interrupted = 1;
}

bool set_default_value(HKEY root, const std::wstring& sub_key, const std::wstring& value,
                       LSTATUS& status) {
    HKEY key = nullptr;
    status = RegCreateKeyExW(root, sub_key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                             nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return false;
    status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            reg_string_bytes(value));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The product's document type, with the program that opens it.
int register_document_types() {
    const std::string forced =
        Machine::current().setting("switches", product::registerExitCodeSwitch);
    if (!forced.empty())
        return static_cast<int>(std::strtol(forced.c_str(), nullptr, 0));

    wchar_t self[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return static_cast<int>(GetLastError());
    const std::wstring program = std::wstring(L"\"") + self + L"\"";
    const std::wstring type = L"Marquetta.Document.6";
    const struct {
        std::wstring key, value;
    } entries[] = {
        {L".mqd6", type},
        {type, L"Marquetta 6 Document"},
        {type + L"\\DefaultIcon", program + L",1"},
        {type + L"\\shell\\open\\command", program + L" \"%1\""},
    };
    for (const auto& entry : entries) {
        LSTATUS status = ERROR_SUCCESS;
        if (!set_default_value(HKEY_CLASSES_ROOT, entry.key, entry.value, status)) {
            std::fprintf(stderr, "Marquetta: cannot register %s (error %d)\n",
                         to_utf8(entry.key).c_str(), static_cast<int>(status));
            return 1;
        }
    }
    return product::registrationSucceeded;
}

// Runs until the quit object of this process is released (or a signal arrives, for a
// person who started it by hand).
int run_until_asked_to_quit() {
    const DWORD pid = GetCurrentProcessId();
    HANDLE quit = CreateSemaphoreW(nullptr, 0, 1, product::quit_object_name(pid).c_str());
    if (!quit) {
        std::fprintf(stderr, "Marquetta: cannot listen for a quit request (error %u)\n",
                     GetLastError());
        return 1;
    }
    // "Running" is announced only once a quit request can be heard; the handle stays open
    // so that a waiter who comes later still finds the unit.
    HANDLE ready = CreateSemaphoreW(nullptr, 0, 1, product::ready_object_name(pid).c_str());
    if (ready)
        ReleaseSemaphore(ready, 1, nullptr);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    int code = 0;
    for (;;) {
        const DWORD result = WaitForSingleObject(quit, 200);
        if (result == WAIT_OBJECT_0 || g_interrupted)
            break;
        if (result == WAIT_FAILED) {
            code = 1;
            break;
        }
    }
    if (ready)
        CloseHandle(ready);
    CloseHandle(quit);
    return code;
}

bool has_switch(const std::vector<std::wstring>& args, const wchar_t* name) {
    for (std::size_t i = 1; i < args.size(); ++i)
        if (iequals(args[i], name))
            return true;
    return false;
}

} // namespace

// The process's unit in the instance counter comes from the product family's static start
// (dv_static_start) and goes back when main returns: never end through ExitProcess here,
// which would leave the unit behind.
int main() {
    const std::vector<std::wstring> args = split_command_line(GetCommandLineW());
    if (has_switch(args, L"/Register"))
        return register_document_types();
    return run_until_asked_to_quit();
}
