// Named objects between processes.
//
// Files of an object in the machine's "objects" folder, keyed by namespace and name:
//   <key>.obj    its kind (and a semaphore's maximum), then one line per process holding it
//                ("pid start-time"), rewritten under the folder's guard lock
//   <key>.mutex  a mutex: an open-file-description lock on byte 0 is the ownership; byte 0
//                itself reads '1' while an owner holds it, so an owner that dies leaves '1'
//                behind for the next one to see as abandoned
//   <key>.sem    a semaphore: a shared mapping with the count, the maximum and a wake-up
//                sequence number waited on with a futex
// A process keeps one core per object however many handles it opens, so thread ownership
// and recursion of a mutex are shared by all its handles as on Windows.
#include "win32/sync.h"

#include "win32/error.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/futex.h>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace win32 {

namespace {

using Clock = std::chrono::steady_clock;

// ---- processes holding an object -----------------------------------------------------

// The start time of a process (clock ticks since boot), 0 when it no longer runs. With the
// pid it names a process uniquely even after the pid is reused; a zombie counts as ended.
unsigned long long start_time_of(pid_t pid) {
    std::string stat;
    if (!read_whole_file("/proc/" + std::to_string(pid) + "/stat", stat))
        return 0;
    auto close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream in(stat.substr(close + 1));
    std::string field;
    // Fields after the command: state (3) ... starttime (22).
    for (int i = 3; i <= 22; ++i) {
        if (!(in >> field))
            return 0;
        if (i == 3 && (field == "Z" || field == "X" || field == "x"))
            return 0;
    }
    return std::strtoull(field.c_str(), nullptr, 10);
}

struct Holder {
    pid_t pid;
    unsigned long long start;
    bool operator==(const Holder&) const = default;
};

Holder self_holder() {
    static const Holder self{getpid(), start_time_of(getpid())};
    return self;
}

bool alive(const Holder& h) {
    return h.start != 0 && start_time_of(h.pid) == h.start;
}

enum class Kind { mutex, semaphore };

struct Record {
    Kind kind = Kind::mutex;
    LONG maximum = 0;
    std::vector<Holder> holders;
};

bool parse_record(const std::string& text, Record& r) {
    std::istringstream in(text);
    std::string kind;
    if (!(in >> kind))
        return false;
    if (kind == "mutex") {
        r.kind = Kind::mutex;
    } else if (kind == "semaphore") {
        r.kind = Kind::semaphore;
        if (!(in >> r.maximum))
            return false;
    } else {
        return false;
    }
    Holder h{};
    while (in >> h.pid >> h.start)
        r.holders.push_back(h);
    return true;
}

std::string format_record(const Record& r) {
    std::string out =
        r.kind == Kind::mutex ? "mutex\n" : "semaphore " + std::to_string(r.maximum) + "\n";
    for (const auto& h : r.holders)
        out += std::to_string(h.pid) + " " + std::to_string(h.start) + "\n";
    return out;
}

// Rewrites a record. Readers hold the guard, and a record must only survive the death of its
// writer, not of the host (objects do not outlive a restart), so no fsync: rename suffices.
bool write_record(const fs::path& path, const std::string& text, int* host_errno = nullptr) {
    fs::path tmp = path;
    tmp += ".new";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int e = errno;
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        e = errno ? errno : e;
        ::unlink(tmp.c_str());
        if (host_errno)
            *host_errno = e;
    }
    return ok;
}

// The guard lock of a machine's objects folder, held while records are read and rewritten.
class Guard {
public:
    explicit Guard(const fs::path& dir) {
        fd_ = ::open((dir / ".guard").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~Guard() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// ---- names ------------------------------------------------------------------------------

std::uint64_t fnv1a(std::string_view s) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// The file key of an object name: its namespace and the name in a file-name-safe spelling.
DWORD object_key(std::wstring_view name, std::string& key) {
    if (name.size() > MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    char ns = 'L';
    auto strip = [&](std::wstring_view prefix) {
        if (name.size() >= prefix.size() && iequals(name.substr(0, prefix.size()), prefix)) {
            name.remove_prefix(prefix.size());
            return true;
        }
        return false;
    };
    if (strip(L"Global\\"))
        ns = 'G';
    else
        strip(L"Local\\");
    if (name.empty())
        return ERROR_INVALID_NAME;
    // A further backslash would name a folder of the object namespace, which does not exist.
    if (name.find(L'\\') != std::wstring_view::npos)
        return ERROR_PATH_NOT_FOUND;
    std::string utf8 = to_utf8(name);
    std::string safe;
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : utf8) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (alnum || c == '.' || c == '-' || c == '_' || c == '{' || c == '}') {
            safe.push_back(static_cast<char>(c));
        } else {
            safe.push_back('%');
            safe.push_back(hex[c >> 4]);
            safe.push_back(hex[c & 15]);
        }
    }
    // Host file names stop at 255 bytes; a long name keeps a readable head and a hash.
    if (safe.size() > 160) {
        char tail[24];
        std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(fnv1a(utf8)));
        safe = safe.substr(0, 140) + tail;
    }
    key = std::string(1, ns) + "-" + safe;
    return ERROR_SUCCESS;
}

// ---- the per-process cores ----------------------------------------------------------------

class Core {
public:
    virtual ~Core() = default;
    virtual Kind kind() const = 0;
    virtual DWORD wait(DWORD milliseconds) = 0;
};

// Every core of this process by machine and key, so that a second open shares the first.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<Core>> cores;
};

Registry& registry() {
    static Registry* r = new Registry; // never destroyed: handles outlive static destructors
    return *r;
}

// Removes this process's record from a named object and deletes the object's files when no
// live process holds it any longer.
void leave_object(const fs::path& dir, const std::string& key) {
    Guard guard(dir);
    std::string text;
    Record r;
    fs::path obj = dir / (key + ".obj");
    if (!read_whole_file(obj, text) || !parse_record(text, r))
        return;
    Holder self = self_holder();
    for (auto it = r.holders.begin(); it != r.holders.end(); ++it)
        if (*it == self) {
            r.holders.erase(it);
            break;
        }
    std::erase_if(r.holders, [](const Holder& h) { return !alive(h); });
    std::error_code ec;
    if (r.holders.empty()) {
        fs::remove(obj, ec);
        fs::remove(dir / (key + ".mutex"), ec);
        fs::remove(dir / (key + ".sem"), ec);
    } else {
        write_record(obj, format_record(r));
    }
}

// -- mutex --

class MutexCore;

// The mutexes the calling thread owns; when the thread ends they become abandoned.
struct OwnedByThread {
    std::vector<std::weak_ptr<MutexCore>> owned;
    ~OwnedByThread();
};
thread_local OwnedByThread t_owned;

class MutexCore : public Core, public std::enable_shared_from_this<MutexCore> {
public:
    // fd < 0: an unnamed mutex, known to this process only.
    MutexCore(int fd, fs::path dir, std::string key)
        : fd_(fd), dir_(std::move(dir)), key_(std::move(key)) {}
    ~MutexCore() override {
        if (fd_ >= 0) {
            ::close(fd_); // drops the lock; the marker stays if the mutex was still owned
            leave_object(dir_, key_);
        }
    }
    Kind kind() const override { return Kind::mutex; }

    DWORD wait(DWORD ms) override {
        auto deadline = ms == INFINITE ? Clock::time_point::max()
                                       : Clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock lock(mutex_);
        auto me = std::this_thread::get_id();
        if (owner_ == me) {
            ++recursion_;
            return WAIT_OBJECT_0;
        }
        while (owner_ != std::thread::id() || acquiring_) {
            if (ms == 0)
                return WAIT_TIMEOUT;
            if (ms == INFINITE)
                changed_.wait(lock);
            else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
                     (owner_ != std::thread::id() || acquiring_))
                return WAIT_TIMEOUT;
        }
        bool abandoned = false;
        if (fd_ >= 0) {
            acquiring_ = true;
            lock.unlock();
            DWORD got = lock_file(ms, deadline);
            lock.lock();
            acquiring_ = false;
            if (got != WAIT_OBJECT_0) {
                changed_.notify_all();
                return got;
            }
            char marker = 0;
            abandoned = ::pread(fd_, &marker, 1, 0) == 1 && marker == '1';
            marker = '1';
            if (::pwrite(fd_, &marker, 1, 0) != 1) {
                unlock_file();
                changed_.notify_all();
                set_error_from_errno(errno);
                return WAIT_FAILED;
            }
        } else {
            abandoned = abandoned_;
            abandoned_ = false;
        }
        owner_ = me;
        recursion_ = 1;
        t_owned.owned.push_back(weak_from_this());
        return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    }

    // Ownership taken for the calling thread when the object was made (the lock is held).
    void adopt() {
        std::lock_guard lock(mutex_);
        owner_ = std::this_thread::get_id();
        recursion_ = 1;
        t_owned.owned.push_back(weak_from_this());
    }

    BOOL release() {
        std::lock_guard lock(mutex_);
        if (owner_ != std::this_thread::get_id())
            return fail(ERROR_NOT_OWNER);
        if (--recursion_ > 0)
            return TRUE;
        if (fd_ >= 0) {
            char marker = '0';
            if (::pwrite(fd_, &marker, 1, 0) != 1) {
                ++recursion_;
                set_error_from_errno(errno);
                return FALSE;
            }
            unlock_file();
        }
        disown();
        return TRUE;
    }

    // The owning thread ended: the next owner, here or in another process, sees it abandoned.
    void abandon_by_thread(std::thread::id thread) {
        std::lock_guard lock(mutex_);
        if (owner_ != thread)
            return;
        if (fd_ >= 0)
            unlock_file(); // the '1' marker stays
        else
            abandoned_ = true;
        owner_ = {};
        recursion_ = 0;
        changed_.notify_all();
    }

private:
    void disown() {
        owner_ = {};
        recursion_ = 0;
        auto self = this;
        std::erase_if(t_owned.owned, [self](const std::weak_ptr<MutexCore>& w) {
            auto p = w.lock();
            return !p || p.get() == self;
        });
        changed_.notify_all();
    }

    DWORD lock_file(DWORD ms, Clock::time_point deadline) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        if (ms == INFINITE) {
            while (::fcntl(fd_, F_OFD_SETLKW, &fl) != 0) {
                if (errno != EINTR) {
                    set_error_from_errno(errno);
                    return WAIT_FAILED;
                }
            }
            return WAIT_OBJECT_0;
        }
        // A lock cannot be waited for with a time limit: poll, briefly at first.
        auto pause = std::chrono::microseconds(200);
        for (;;) {
            if (::fcntl(fd_, F_OFD_SETLK, &fl) == 0)
                return WAIT_OBJECT_0;
            if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
                set_error_from_errno(errno);
                return WAIT_FAILED;
            }
            auto now = Clock::now();
            if (ms == 0 || now >= deadline)
                return WAIT_TIMEOUT;
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
            pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
        }
    }

    void unlock_file() {
        struct flock fl {};
        fl.l_type = F_UNLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0;
        fl.l_len = 1;
        ::fcntl(fd_, F_OFD_SETLK, &fl);
    }

    int fd_;
    fs::path dir_;
    std::string key_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread::id owner_{};
    LONG recursion_ = 0;
    bool acquiring_ = false;
    bool abandoned_ = false;
};

OwnedByThread::~OwnedByThread() {
    auto me = std::this_thread::get_id();
    auto list = std::move(owned);
    for (auto& w : list)
        if (auto core = w.lock())
            core->abandon_by_thread(me);
}

// -- semaphore --

struct SemaphoreState {
    std::atomic<std::int32_t> count;
    std::int32_t maximum;
    std::atomic<std::uint32_t> sequence;
};
static_assert(std::atomic<std::int32_t>::is_always_lock_free);
constexpr std::size_t kSemaphoreBytes = 4096;

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr,
                     0);
}

class SemaphoreCore : public Core {
public:
    // `state` is a shared mapping of kSemaphoreBytes; `key` empty for an unnamed semaphore.
    SemaphoreCore(SemaphoreState* state, fs::path dir, std::string key)
        : state_(state), dir_(std::move(dir)), key_(std::move(key)) {}
    ~SemaphoreCore() override {
        ::munmap(state_, kSemaphoreBytes);
        if (!key_.empty())
            leave_object(dir_, key_);
    }
    Kind kind() const override { return Kind::semaphore; }

    DWORD wait(DWORD ms) override {
        auto deadline = ms == INFINITE ? Clock::time_point::max()
                                       : Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::int32_t c = state_->count.load();
            while (c > 0)
                if (state_->count.compare_exchange_weak(c, c - 1))
                    return WAIT_OBJECT_0;
            if (ms == 0)
                return WAIT_TIMEOUT;
            std::uint32_t seen = state_->sequence.load();
            if (state_->count.load() > 0)
                continue;
            timespec ts{};
            const timespec* tp = nullptr;
            if (ms != INFINITE) {
                auto left = deadline - Clock::now();
                if (left <= Clock::duration::zero())
                    return WAIT_TIMEOUT;
                auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                ts.tv_sec = static_cast<time_t>(ns / 1000000000);
                ts.tv_nsec = static_cast<long>(ns % 1000000000);
                tp = &ts;
            }
            // Shared, not private: the word lives in a mapping other processes share.
            if (futex(&state_->sequence, FUTEX_WAIT, seen, tp) != 0 && errno != EAGAIN &&
                errno != EINTR && errno != ETIMEDOUT) {
                set_error_from_errno(errno);
                return WAIT_FAILED;
            }
        }
    }

    BOOL release(LONG count, LONG* previous) {
        if (count <= 0)
            return fail(ERROR_INVALID_PARAMETER);
        std::int32_t c = state_->count.load();
        do {
            if (static_cast<std::int64_t>(c) + count > state_->maximum)
                return fail(ERROR_TOO_MANY_POSTS);
        } while (!state_->count.compare_exchange_weak(c, c + count));
        if (previous)
            *previous = c;
        state_->sequence.fetch_add(1);
        futex(&state_->sequence, FUTEX_WAKE, INT_MAX, nullptr);
        return TRUE;
    }

private:
    SemaphoreState* state_;
    fs::path dir_;
    std::string key_;
};

SemaphoreState* map_semaphore(int fd) {
    int flags = fd >= 0 ? MAP_SHARED : MAP_SHARED | MAP_ANONYMOUS;
    void* p = ::mmap(nullptr, kSemaphoreBytes, PROT_READ | PROT_WRITE, flags, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<SemaphoreState*>(p);
}

// ---- handles ----------------------------------------------------------------------------

class SyncHandle : public Object {
public:
    explicit SyncHandle(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    bool waitable() const override { return true; }
    DWORD wait(DWORD ms) override { return core_->wait(ms); }
    Core& core() { return *core_; }

private:
    std::shared_ptr<Core> core_;
};

struct Request {
    Kind kind;
    bool create;      // Create* (else Open*)
    LONG initial = 0; // a semaphore's count; for a mutex, non-zero asks for ownership
    LONG maximum = 0;
};

// Makes the files of a fresh object. Returns the Windows error.
DWORD create_files(const fs::path& dir, const std::string& key, const Request& req) {
    if (req.kind == Kind::mutex) {
        int fd =
            ::open((dir / (key + ".mutex")).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return error_from_errno(errno);
        char marker = '0';
        bool ok = ::pwrite(fd, &marker, 1, 0) == 1;
        int e = errno;
        ::close(fd);
        return ok ? ERROR_SUCCESS : error_from_errno(e);
    }
    int fd = ::open((dir / (key + ".sem")).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return error_from_errno(errno);
    if (::ftruncate(fd, kSemaphoreBytes) != 0) {
        int e = errno;
        ::close(fd);
        return error_from_errno(e);
    }
    SemaphoreState* s = map_semaphore(fd);
    int e = errno;
    ::close(fd);
    if (!s)
        return error_from_errno(e);
    new (s) SemaphoreState{};
    s->count.store(req.initial);
    s->maximum = req.maximum;
    ::munmap(s, kSemaphoreBytes);
    return ERROR_SUCCESS;
}

// Opens the core of a named object, creating the object when asked. `existed` tells whether
// the object was there before. Returns the Windows error.
DWORD open_named(const std::string& key, const Request& req, std::shared_ptr<Core>& out,
                 bool& existed) {
    Machine& machine = Machine::current();
    fs::path dir = machine.state_dir("objects");
    std::string registry_key = machine.root().string() + "|" + key;
    Registry& reg = registry();
    std::lock_guard reg_lock(reg.mutex);
    if (auto it = reg.cores.find(registry_key); it != reg.cores.end()) {
        if (auto core = it->second.lock()) {
            if (core->kind() != req.kind)
                return ERROR_INVALID_HANDLE;
            out = core;
            existed = true;
            return ERROR_SUCCESS;
        }
    }

    // No core may be destroyed while the guard is held (its destructor takes the guard), so
    // the raw descriptor or mapping is only wrapped once the record is written.
    int fd = -1;
    SemaphoreState* state = nullptr;
    {
        Guard guard(dir);
        if (!guard.ok())
            return error_from_errno(errno);
        fs::path obj = dir / (key + ".obj");
        Record r;
        std::string text;
        bool found = read_whole_file(obj, text) && parse_record(text, r);
        if (found) {
            std::erase_if(r.holders, [](const Holder& h) { return !alive(h); });
            found = !r.holders.empty();
        }
        if (found && r.kind != req.kind)
            return ERROR_INVALID_HANDLE;
        if (!found) {
            // Whatever is left belongs to processes that ended: the object no longer exists.
            std::error_code ec;
            fs::remove(dir / (key + ".mutex"), ec);
            fs::remove(dir / (key + ".sem"), ec);
            fs::remove(obj, ec);
            if (!req.create)
                return ERROR_FILE_NOT_FOUND;
            if (DWORD e = create_files(dir, key, req))
                return e;
            r = Record{req.kind, req.maximum, {}};
        }
        existed = found;

        fd = ::open((dir / (key + (req.kind == Kind::mutex ? ".mutex" : ".sem"))).c_str(),
                    O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return error_from_errno(errno);
        if (req.kind == Kind::mutex && !found && req.initial) {
            // Owned from birth: no other process may slip in between creation and the wait.
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_len = 1;
            char marker = '1';
            if (::fcntl(fd, F_OFD_SETLK, &fl) != 0 || ::pwrite(fd, &marker, 1, 0) != 1) {
                int e = errno;
                ::close(fd);
                return error_from_errno(e);
            }
        }
        if (req.kind == Kind::semaphore) {
            state = map_semaphore(fd);
            int e = errno;
            ::close(fd);
            fd = -1;
            if (!state)
                return error_from_errno(e);
        }
        r.holders.push_back(self_holder());
        int e = 0;
        if (!write_record(obj, format_record(r), &e)) {
            if (fd >= 0)
                ::close(fd);
            if (state)
                ::munmap(state, kSemaphoreBytes);
            return error_from_errno(e);
        }
    }
    std::shared_ptr<Core> core;
    if (req.kind == Kind::mutex) {
        auto mutex = std::make_shared<MutexCore>(fd, dir, key);
        if (!existed && req.initial)
            mutex->adopt();
        core = std::move(mutex);
    } else
        core = std::make_shared<SemaphoreCore>(state, dir, key);
    reg.cores[registry_key] = core;
    out = std::move(core);
    return ERROR_SUCCESS;
}

HANDLE make_object(LPCWSTR name, const Request& req) {
    std::shared_ptr<Core> core;
    bool existed = false;
    if (!name || !*name) {
        if (!req.create) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (req.kind == Kind::mutex) {
            core = std::make_shared<MutexCore>(-1, fs::path(), std::string());
        } else {
            SemaphoreState* s = map_semaphore(-1);
            if (!s) {
                set_error_from_errno(errno);
                return nullptr;
            }
            new (s) SemaphoreState{};
            s->count.store(req.initial);
            s->maximum = req.maximum;
            core = std::make_shared<SemaphoreCore>(s, fs::path(), std::string());
        }
    } else {
        std::string key;
        DWORD e = object_key(name, key);
        if (!e) {
            try {
                e = open_named(key, req, core, existed);
            } catch (const std::exception&) {
                e = ERROR_NOT_ENOUGH_MEMORY;
            }
        }
        if (e) {
            SetLastError(e);
            return nullptr;
        }
    }
    HANDLE h = insert_handle(std::make_shared<SyncHandle>(core));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

} // namespace

HANDLE CreateMutexW(const SECURITY_ATTRIBUTES*, BOOL initial_owner, LPCWSTR name) {
    bool named = name && *name;
    HANDLE h = make_object(name, Request{Kind::mutex, true, initial_owner ? 1 : 0});
    if (!h || named || !initial_owner)
        return h;
    // An unnamed mutex is known to no one else yet.
    if (WaitForSingleObject(h, INFINITE) == WAIT_FAILED) {
        DWORD e = GetLastError();
        CloseHandle(h);
        SetLastError(e);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) {
    HANDLE h = make_object(name, Request{Kind::mutex, false});
    if (h)
        SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto handle = lookup_handle_as<SyncHandle>(mutex);
    if (!handle || handle->core().kind() != Kind::mutex)
        return fail(ERROR_INVALID_HANDLE);
    return static_cast<MutexCore&>(handle->core()).release();
}

HANDLE CreateSemaphoreW(const SECURITY_ATTRIBUTES*, LONG initial_count, LONG maximum_count,
                        LPCWSTR name) {
    if (maximum_count <= 0 || initial_count < 0 || initial_count > maximum_count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return make_object(name, Request{Kind::semaphore, true, initial_count, maximum_count});
}

HANDLE OpenSemaphoreW(DWORD, BOOL, LPCWSTR name) {
    HANDLE h = make_object(name, Request{Kind::semaphore, false});
    if (h)
        SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG release_count, LONG* previous_count) {
    auto handle = lookup_handle_as<SyncHandle>(semaphore);
    if (!handle || handle->core().kind() != Kind::semaphore)
        return fail(ERROR_INVALID_HANDLE);
    return static_cast<SemaphoreCore&>(handle->core()).release(release_count, previous_count);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto object = lookup_handle(handle);
    if (!object || !object->waitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->wait(milliseconds);
}

} // namespace win32
