// How other programs and tests talk to a running Marquetta.exe: the product has no window to
// close, so it ends when it is asked to through a named object of its own process.
#pragma once

#include "win32/types.h"

#include <string>

namespace product {

// Exit code of a registration run that succeeded.
inline constexpr int registrationSucceeded = -10;

// Machine switch (`[switches] register_exit_code`) that makes the registration run fail
// with the given code without registering anything: the way to reach the installer's
// handling of a failed registration.
inline constexpr char registerExitCodeSwitch[] = "register_exit_code";

// Semaphores of one product process (its process id in the name): it releases the "ready"
// one once it counts in the instance counter, and ends when the "quit" one is released.
std::wstring ready_object_name(win32::DWORD process_id);
std::wstring quit_object_name(win32::DWORD process_id);

// Waits up to `milliseconds` for the product process `process_id` to count as running (and
// to listen for a quit request); any number of callers may ask.
// False with WAIT_TIMEOUT's error (1460) when it did not, or the wait's error.
bool wait_until_running(win32::DWORD process_id, win32::DWORD milliseconds);

// Asks a running product process to end. False with ERROR_FILE_NOT_FOUND when no such
// process listens (it has not started yet or has already ended).
bool request_quit(win32::DWORD process_id);

} // namespace product
