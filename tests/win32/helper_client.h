// Drives a helper process (tests/win32/helper.cpp) started straight from the host, so that a
// test can hold a named object in another process, wait for its answers and kill it.
#pragma once

#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace dvtest {

class HelperProcess {
public:
    HelperProcess() {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, in[1]);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        char arg0[] = "helper", arg1[] = "serve";
        char* argv[] = {arg0, arg1, nullptr};
        int rc = ::posix_spawn(&pid_, DV_HELPER_PATH, &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0)
            throw std::runtime_error("cannot start the helper");
        to_ = ::fdopen(in[1], "w");
        from_ = ::fdopen(out[0], "r");
    }
    ~HelperProcess() {
        if (to_)
            std::fclose(to_);
        if (from_)
            std::fclose(from_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // Sends one command and returns the helper's answer ("" when it has gone).
    std::string ask(const std::string& command) {
        send(command);
        return answer();
    }
    // The two halves of ask(), for a command that blocks until the test acts.
    void send(const std::string& command) {
        std::fprintf(to_, "%s\n", command.c_str());
        std::fflush(to_);
    }
    std::string answer() {
        char line[256];
        if (!std::fgets(line, sizeof line, from_))
            return "";
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        return s;
    }

    // Ends the helper at once, as a crash would, and collects it.
    void kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Sends "exit CODE" and returns the host exit status.
    int exit(int code) {
        std::fprintf(to_, "exit %d\n", code);
        std::fflush(to_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

} // namespace dvtest
