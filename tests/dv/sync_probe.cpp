// A program of the product family for the tests of named objects: it registers itself in the
// instance counter during static initialisation (dv_static_start), then answers commands
// read from stdin, one line each on stdout:
//
//   count                 "<counterReady> <running_count>"
//   lock NAME             try_lock on a secure NamedMutex NAME (made on first use): "1" or "0"
//   unlock                releases it: "ok"
//   secure-mutex NAME     create_secure_mutex(false, NAME), kept open: "ok|fail <last error>"
//   saw-counter           whether counterReady was already set when the static objects that
//                         follow the counter (the locale check's place) were constructed
//   app-name              get_app_display_name()
//   exit CODE             ends through exit(CODE), static destructors included
#include "dv/messages.h"
#include "dv/startup.h"
#include "dv/sync.h"
#include "win32/error.h"
#include "win32/text.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

// Takes the place of the locale check, the first static object after the counter's
// registration, whatever the link order.
struct LocaleCheck {
    bool sawCounter = dv::counterReady;
};
__attribute__((init_priority(DV_INIT_PRIORITY_LOCALE_CHECK))) LocaleCheck g_locale_check;

} // namespace

int main() {
    std::unique_ptr<dv::NamedMutex> mutex;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, arg;
        in >> cmd >> arg;
        std::ostringstream out;
        if (cmd == "count") {
            out << dv::counterReady << " " << dv::instance_counter().running_count();
        } else if (cmd == "lock") {
            if (!mutex)
                mutex =
                    std::make_unique<dv::NamedMutex>(win32::from_utf8(arg).c_str(), false, true);
            out << mutex->try_lock();
        } else if (cmd == "unlock") {
            if (mutex)
                mutex->release();
            out << "ok";
        } else if (cmd == "secure-mutex") {
            win32::HANDLE h = dv::create_secure_mutex(false, win32::from_utf8(arg).c_str());
            out << (h ? "ok " : "fail ") << win32::GetLastError();
        } else if (cmd == "saw-counter") {
            out << g_locale_check.sawCounter;
        } else if (cmd == "app-name") {
            out << win32::to_utf8(dv::get_app_display_name());
        } else if (cmd == "exit") {
            std::exit(std::atoi(arg.c_str()));
        } else {
            out << "unknown";
        }
        std::cout << out.str() << std::endl;
    }
    return 0;
}
