#include "win32/process.h"

#include "win32/error.h"
#include "win32/machine.h"
#include "win32/memory.h"
#include "win32/sync.h"
#include "win32/text.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace win32 {

namespace {

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// ---- process objects ----------------------------------------------------------------------

// What the handles of one child (its process and its thread handle) share.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    }
    ~Child() {
        if (pidfd_ >= 0)
            ::close(pidfd_);
        std::lock_guard lock(mutex_);
        if (!ended_) {
            // Nobody will ask any more, but the ended child must still be collected.
            pid_t pid = pid_;
            std::thread([pid] {
                int status = 0;
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }

    DWORD wait(DWORD ms) {
        if (collect())
            return WAIT_OBJECT_0;
        if (ms == 0)
            return WAIT_TIMEOUT;
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            int timeout = -1;
            if (ms != INFINITE) {
                auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
                if (spent >= ms)
                    return collect() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
                timeout = static_cast<int>(std::min<long long>(ms - spent, 1 << 30));
            }
            if (pidfd_ >= 0) {
                pollfd p{pidfd_, POLLIN, 0};
                int n = ::poll(&p, 1, timeout);
                if (n < 0 && errno != EINTR) {
                    set_error_from_errno(errno);
                    return WAIT_FAILED;
                }
            } else {
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(timeout < 0 || timeout > 5 ? 5 : timeout));
            }
            if (collect())
                return WAIT_OBJECT_0;
        }
    }

    // Whether the child has ended (collecting its status if it just did).
    bool collect() {
        std::lock_guard lock(mutex_);
        if (ended_)
            return true;
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == 0)
            return false;
        if (r < 0) {
            if (errno == EINTR)
                return false;
            // Collected by someone else (SIGCHLD ignored): the code is lost.
            ended_ = true;
            code_ = 0;
            return true;
        }
        ended_ = true;
        if (WIFEXITED(status))
            code_ = static_cast<DWORD>(
                static_cast<std::int32_t>(static_cast<std::int8_t>(WEXITSTATUS(status))));
        else if (terminated_)
            code_ = terminate_code_;
        else
            code_ = code_for_signal(WTERMSIG(status));
        return true;
    }

    DWORD exit_code() {
        if (!collect())
            return STILL_ACTIVE;
        std::lock_guard lock(mutex_);
        return code_;
    }

    BOOL terminate(UINT code) {
        std::lock_guard lock(mutex_);
        if (ended_)
            return fail(ERROR_ACCESS_DENIED); // as Windows answers for an ended process
        terminated_ = true;
        terminate_code_ = code;
        if (::kill(pid_, SIGKILL) != 0) {
            terminated_ = false;
            set_error_from_errno(errno);
            return FALSE;
        }
        return TRUE;
    }

private:
    static DWORD code_for_signal(int sig) {
        switch (sig) {
        case SIGSEGV:
        case SIGBUS:
            return 0xC0000005u; // access violation
        case SIGILL:
            return 0xC000001Du; // illegal instruction
        case SIGFPE:
            return 0xC0000094u; // integer division by zero
        case SIGABRT:
            return 3; // what abort() ends with
        case SIGINT:
            return 0xC000013Au; // ended by Ctrl+C
        default:
            return 1; // killed from outside, as TerminateProcess(1)
        }
    }

    pid_t pid_;
    int pidfd_ = -1;
    std::mutex mutex_;
    bool ended_ = false;
    bool terminated_ = false;
    UINT terminate_code_ = 0;
    DWORD code_ = 0;
};

class ProcessHandle : public Object {
public:
    explicit ProcessHandle(std::shared_ptr<Child> child) : child_(std::move(child)) {}
    bool waitable() const override { return true; }
    DWORD wait(DWORD ms) override { return child_->wait(ms); }
    Child& child() { return *child_; }

private:
    std::shared_ptr<Child> child_;
};

// A program's one thread ends with it.
class ThreadHandle : public ProcessHandle {
public:
    using ProcessHandle::ProcessHandle;
};

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// ---- finding the program --------------------------------------------------------------------

bool has_extension(std::wstring_view path) {
    auto slash = path.find_last_of(L"\\/");
    auto name = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
    return name.find(L'.') != std::wstring_view::npos;
}

// Resolves one candidate name to an existing file. Returns ERROR_SUCCESS with the paths set,
// or the error that candidate gives.
DWORD resolve_candidate(const Machine& m, std::wstring name, HostPath& found, bool search) {
    if (name.empty())
        return ERROR_FILE_NOT_FOUND;
    if (!has_extension(name))
        name += L".exe";
    std::vector<std::wstring> tries;
    bool has_folder = name.find_first_of(L"\\/:") != std::wstring::npos;
    if (!search || has_folder) {
        tries.push_back(name);
    } else {
        std::wstring cwd = m.current_directory();
        tries.push_back(cwd + (cwd.ends_with(L'\\') ? L"" : L"\\") + name);
        tries.push_back(m.windows_dir() + L"\\System32\\" + name);
        tries.push_back(m.windows_dir() + L"\\" + name);
    }
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (const auto& t : tries) {
        std::wstring full;
        if (DWORD e = m.full_path(t, full)) {
            error = e;
            continue;
        }
        HostPath hp;
        if (DWORD e = m.map(full, hp)) {
            error = e;
            continue;
        }
        std::error_code ec;
        if (hp.exists && fs::is_regular_file(hp.host, ec)) {
            found = hp;
            return ERROR_SUCCESS;
        }
        error = hp.exists ? ERROR_ACCESS_DENIED
                          : (hp.parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    return error;
}

// The program a command line starts when no application name is given.
DWORD program_of(const Machine& m, std::wstring_view cmd, HostPath& found) {
    std::size_t i = 0;
    if (!cmd.empty() && cmd[0] == L'"') {
        auto close = cmd.find(L'"', 1);
        return resolve_candidate(
            m,
            std::wstring(cmd.substr(1, close == std::wstring_view::npos ? std::wstring_view::npos
                                                                        : close - 1)),
            found, true);
    }
    // Unquoted: "C:\Program Files\x.exe" tries "C:\Program" first, then the longer runs.
    DWORD error = ERROR_FILE_NOT_FOUND;
    bool first = true;
    while (i <= cmd.size()) {
        std::size_t end = i;
        while (end < cmd.size() && !is_blank(cmd[end]))
            ++end;
        std::wstring candidate(cmd.substr(0, end));
        DWORD e = resolve_candidate(m, candidate, found, true);
        if (e == ERROR_SUCCESS)
            return e;
        if (first)
            error = e; // the error reported is that of the first word alone
        first = false;
        if (end >= cmd.size())
            break;
        i = end + 1;
    }
    return error;
}

bool is_elf(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char magic[4] = {};
    bool ok = ::read(fd, magic, 4) == 4 && std::memcmp(magic,
                                                       "\x7F"
                                                       "ELF",
                                                       4) == 0;
    ::close(fd);
    return ok;
}

// ---- environment -------------------------------------------------------------------------------

std::vector<std::string> environment_of(LPVOID block, DWORD flags) {
    std::vector<std::string> env;
    if (!block) {
        for (char** e = environ; e && *e; ++e)
            env.emplace_back(*e);
    } else if (flags & CREATE_UNICODE_ENVIRONMENT) {
        for (auto* p = static_cast<const wchar_t*>(block); *p; p += std::wcslen(p) + 1)
            env.push_back(to_utf8(p));
    } else {
        for (auto* p = static_cast<const char*>(block); *p; p += std::strlen(p) + 1)
            env.emplace_back(p);
    }
    return env;
}

void set_variable(std::vector<std::string>& env, const std::string& name,
                  const std::string* value) {
    std::erase_if(
        env, [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
    if (value)
        env.push_back(name + "=" + *value);
}

int nice_for(DWORD flags) {
    if (flags & REALTIME_PRIORITY_CLASS)
        return -20;
    if (flags & HIGH_PRIORITY_CLASS)
        return -10;
    if (flags & ABOVE_NORMAL_PRIORITY_CLASS)
        return -5;
    if (flags & BELOW_NORMAL_PRIORITY_CLASS)
        return 5;
    if (flags & IDLE_PRIORITY_CLASS)
        return 19;
    return 0;
}

} // namespace

std::vector<std::wstring> split_command_line(std::wstring_view s) {
    std::vector<std::wstring> args;
    std::size_t i = 0, n = s.size();
    if (n == 0)
        return args;
    // The program name: no escapes; quotes only group, and it ends at a blank outside them.
    std::wstring first;
    bool quoted = false;
    while (i < n && (quoted || !is_blank(s[i]))) {
        if (s[i] == L'"')
            quoted = !quoted;
        else
            first.push_back(s[i]);
        ++i;
    }
    args.push_back(first);
    while (i < n && is_blank(s[i]))
        ++i;
    while (i < n) {
        std::wstring arg;
        bool quoted = false;
        while (i < n) {
            wchar_t c = s[i];
            if (is_blank(c) && !quoted)
                break;
            if (c == L'\\') {
                std::size_t k = 0;
                while (i + k < n && s[i + k] == L'\\')
                    ++k;
                if (i + k < n && s[i + k] == L'"') {
                    arg.append(k / 2, L'\\');
                    i += k;
                    if (k % 2) {
                        arg.push_back(L'"');
                        ++i;
                    }
                } else {
                    arg.append(k, L'\\');
                    i += k;
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < n && s[i + 1] == L'"') {
                    arg.push_back(L'"');
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg.push_back(c);
            ++i;
        }
        args.push_back(std::move(arg));
        while (i < n && is_blank(s[i]))
            ++i;
    }
    return args;
}

LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) {
    if (!count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // An empty line stands for the program itself.
    auto args =
        split_command_line(command_line && *command_line ? command_line : GetCommandLineW());
    if (args.empty())
        args.emplace_back();
    std::size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
    for (const auto& a : args)
        bytes += (a.size() + 1) * sizeof(wchar_t);
    auto* block = static_cast<LPWSTR*>(LocalAlloc(LMEM_FIXED, bytes));
    if (!block)
        return nullptr;
    auto* text = reinterpret_cast<wchar_t*>(block + args.size() + 1);
    for (std::size_t k = 0; k < args.size(); ++k) {
        block[k] = text;
        std::wmemcpy(text, args[k].c_str(), args[k].size() + 1);
        text += args[k].size() + 1;
    }
    block[args.size()] = nullptr;
    *count = static_cast<int>(args.size());
    return block;
}

LPWSTR GetCommandLineW() {
    static std::wstring line = [] {
        std::vector<std::string> argv;
        std::string raw;
        if (read_whole_file("/proc/self/cmdline", raw)) {
            std::size_t pos = 0;
            while (pos < raw.size()) {
                auto end = raw.find('\0', pos);
                if (end == std::string::npos)
                    end = raw.size();
                argv.push_back(raw.substr(pos, end - pos));
                pos = end + 1;
            }
        }
        // The line our parent gave, if the arguments we got are still the ones it made.
        if (const char* given = std::getenv("DV_CMDLINE")) {
            auto split = split_command_line(from_utf8(given));
            bool same = split.size() == argv.size();
            for (std::size_t k = 1; same && k < argv.size(); ++k)
                same = to_utf8(split[k]) == argv[k];
            if (same)
                return from_utf8(given);
        }
        std::wstring out;
        for (std::size_t k = 0; k < argv.size(); ++k) {
            std::wstring a = from_utf8(argv[k]);
            if (k)
                out += L' ';
            bool quote = a.empty() || a.find_first_of(L" \t\"") != std::wstring::npos;
            if (!quote) {
                out += a;
                continue;
            }
            out += L'"';
            std::size_t slashes = 0;
            for (wchar_t c : a) {
                if (c == L'\\') {
                    ++slashes;
                } else if (c == L'"') {
                    out.append(slashes + 1, L'\\');
                    slashes = 0;
                } else {
                    slashes = 0;
                }
                out += c;
            }
            out.append(slashes, L'\\');
            out += L'"';
        }
        return out;
    }();
    return line.data();
}

BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line, const SECURITY_ATTRIBUTES*,
                    const SECURITY_ATTRIBUTES*, BOOL, DWORD flags, LPVOID environment,
                    LPCWSTR current_directory, STARTUPINFOW* si, PROCESS_INFORMATION* pi) {
    if (!si || !pi || (si->cb != sizeof(STARTUPINFOW) && si->cb != STARTUPINFOW_SIZE_32))
        return fail(ERROR_INVALID_PARAMETER);
    if ((flags & CREATE_SUSPENDED) || (si->dwFlags & STARTF_USESTDHANDLES))
        return fail(ERROR_NOT_SUPPORTED);
    if ((!application_name || !*application_name) && (!command_line || !*command_line))
        return fail(ERROR_INVALID_PARAMETER);
    Machine& m = Machine::current();

    HostPath program;
    DWORD e = application_name && *application_name
                  ? resolve_candidate(m, application_name, program, false)
                  : program_of(m, command_line, program);
    if (e)
        return fail(e);
    std::wstring line = command_line && *command_line
                            ? std::wstring(command_line)
                            : L"\"" + std::wstring(application_name) + L"\"";

    std::wstring cwd = m.current_directory();
    if (current_directory && *current_directory) {
        if ((e = m.full_path(current_directory, cwd)))
            return fail(e);
    }
    HostPath cwd_host;
    if ((e = m.map(cwd, cwd_host)))
        return fail(e);
    std::error_code ec;
    if (!cwd_host.exists || !fs::is_directory(cwd_host.host, ec))
        return fail(ERROR_DIRECTORY);

    if (!is_elf(program.host))
        return fail(ERROR_BAD_EXE_FORMAT);
    // Windows has no execute permission: a program file written by the installer runs as is.
    if (::access(program.host.c_str(), X_OK) != 0) {
        struct stat st {};
        if (::stat(program.host.c_str(), &st) == 0)
            ::chmod(program.host.c_str(), st.st_mode | ((st.st_mode & 0444) >> 2));
    }

    std::vector<std::string> env = environment_of(environment, flags);
    std::string machine_root = m.root().string();
    std::string cwd_utf8 = to_utf8(cwd);
    std::string line_utf8 = to_utf8(line);
    set_variable(env, "DV_MACHINE", &machine_root);
    set_variable(env, "DV_CWD", &cwd_utf8);
    set_variable(env, "DV_CMDLINE", &line_utf8);
    std::string show = std::to_string(si->wShowWindow);
    set_variable(env, "DV_SHOW_WINDOW", (si->dwFlags & STARTF_USESHOWWINDOW) ? &show : nullptr);

    std::vector<std::string> args;
    for (const auto& a : split_command_line(line))
        args.push_back(to_utf8(a));
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addchdir_np(&actions, cwd_host.host.c_str());
    // The child starts with the default signal state, whatever this process changed.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, program.host.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return fail(rc == ENOEXEC ? ERROR_BAD_EXE_FORMAT : error_from_errno(rc));

    if (int nice = nice_for(flags))
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid),
                      nice); // refused upwards unless privileged

    auto child = std::make_shared<Child>(pid);
    pi->hProcess = insert_handle(std::make_shared<ProcessHandle>(child));
    pi->hThread = insert_handle(std::make_shared<ThreadHandle>(child));
    pi->dwProcessId = static_cast<DWORD>(pid);
    pi->dwThreadId = static_cast<DWORD>(pid);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code) {
    if (!exit_code)
        return fail(ERROR_INVALID_PARAMETER);
    if (process == kCurrentProcess) {
        *exit_code = STILL_ACTIVE;
        return TRUE;
    }
    auto h = lookup_handle_as<ProcessHandle>(process);
    if (!h || dynamic_cast<ThreadHandle*>(h.get()))
        return fail(ERROR_INVALID_HANDLE);
    *exit_code = h->child().exit_code();
    return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exit_code) {
    if (process == kCurrentProcess)
        ExitProcess(exit_code);
    auto h = lookup_handle_as<ProcessHandle>(process);
    if (!h || dynamic_cast<ThreadHandle*>(h.get()))
        return fail(ERROR_INVALID_HANDLE);
    return h->child().terminate(exit_code);
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

HANDLE GetCurrentProcess() {
    return kCurrentProcess;
}

void ExitProcess(UINT exit_code) {
    std::fflush(nullptr);
    ::_exit(static_cast<int>(exit_code & 0xFF));
}

} // namespace win32
