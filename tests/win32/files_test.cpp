#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using namespace win32;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Files : public dvtest::MachineTest {
protected:
    // A scratch folder C:\T for each test.
    void SetUp() override { ASSERT_TRUE(CreateDirectoryW(L"C:\\T", nullptr)); }

    static HANDLE open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags = FILE_ATTRIBUTE_NORMAL) {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    }
    static void put(const wchar_t* path, std::string_view bytes) {
        HANDLE h = open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
        ASSERT_TRUE(CloseHandle(h));
    }
    static std::string get(const wchar_t* path) {
        HANDLE h = open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (h == INVALID_HANDLE_VALUE)
            return "<error " + std::to_string(GetLastError()) + ">";
        std::string out(1024, '\0');
        DWORD n = 0;
        ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &n, nullptr);
        CloseHandle(h);
        out.resize(n);
        return out;
    }
};

// Another process of the same machine (see file_helper.cpp).
class Helper {
public:
    explicit Helper(std::vector<std::string> args) {
        int in[2], out[2];
        EXPECT_EQ(::pipe(in), 0);
        EXPECT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), DV_FILE_HELPER);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, DV_FILE_HELPER, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        to_child_ = in[1];
        from_child_ = ::fdopen(out[0], "r");
    }
    ~Helper() { finish(); }
    std::string line() {
        char buf[128] = {};
        if (!std::fgets(buf, sizeof buf, from_child_))
            return "<eof>";
        std::string s = buf;
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        return s;
    }
    // Ends the child (closing its stdin releases what it holds) and returns its exit code.
    int finish() {
        if (pid_ <= 0)
            return -1;
        ::close(to_child_);
        std::fclose(from_child_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    FILE* from_child_ = nullptr;
};

TEST_F(Files, CreateFileDispositions) {
    struct Case {
        DWORD disposition;
        bool exists;
        bool opens;
        DWORD error;
        const char* content_after; // of a file that held "old"
    };
    const Case cases[] = {
        {CREATE_NEW, false, true, 0, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, 0, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {OPEN_EXISTING, true, true, 0, "old"},
        {OPEN_ALWAYS, false, true, 0, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {TRUNCATE_EXISTING, true, true, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("disposition " + std::to_string(c.disposition) +
                     (c.exists ? " existing" : " new"));
        DeleteFileW(L"C:\\T\\f.txt");
        if (c.exists)
            put(L"C:\\T\\f.txt", "old");
        SetLastError(12345);
        HANDLE h = open(L"C:\\T\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (c.content_after)
            EXPECT_EQ(get(L"C:\\T\\f.txt"), c.content_after);
        else
            EXPECT_EQ(GetFileAttributesW(L"C:\\T\\f.txt"), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(handle_count(), 0u);
}

TEST_F(Files, OpenErrors) {
    put(L"C:\\T\\f.txt", "x");
    struct Case {
        const wchar_t* path;
        DWORD access, disposition, flags;
        DWORD error;
    };
    const Case cases[] = {
        {L"C:\\T\\missing\\f.txt", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
        {L"C:\\T\\missing\\f.txt", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_PATH_NOT_FOUND},
        {L"C:\\T\\f.txt\\g.txt", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_PATH_NOT_FOUND},
        {L"C:\\T\\f.txt\\", GENERIC_READ, OPEN_EXISTING, 0, ERROR_INVALID_NAME},
        {L"C:\\T\\a|b", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_INVALID_NAME},
        {L"C:\\T\\con", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_INVALID_NAME},
        {L"C:\\T", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
        {L"C:\\T\\f.txt", GENERIC_READ, TRUNCATE_EXISTING, 0, ERROR_INVALID_PARAMETER},
        {L"C:\\T\\f.txt", GENERIC_READ, 9, 0, ERROR_INVALID_PARAMETER},
        {L"Q:\\f.txt", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        HANDLE h = CreateFileW(c.path, c.access, 0, nullptr, c.disposition, c.flags, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << to_utf8(c.path);
        EXPECT_EQ(GetLastError(), c.error) << to_utf8(c.path);
    }
    std::wstring long_name = L"C:\\T\\" + std::wstring(254, L'n'); // 259 characters
    HANDLE h = open(long_name.c_str(), GENERIC_WRITE, 0, CREATE_NEW);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(open((long_name + L"n").c_str(), GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);

    // A folder opens only with backup semantics, and then refuses reads.
    h = open(L"C:\\T", GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char b;
    DWORD n;
    EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(h);
}

TEST_F(Files, ReadWriteSeekAndSize) {
    HANDLE h = open(L"C:\\T\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(GetFileSize(h, nullptr), 10u);
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "6789");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr)); // end of file: success, nothing
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    LARGE_INTEGER to{}, now{};
    to.QuadPart = 3;
    ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_BEGIN));
    EXPECT_EQ(now.QuadPart, 3);
    ASSERT_TRUE(SetEndOfFile(h));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 3);
    // Past the end and a write there: the gap reads as zeros.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 5, &high, FILE_BEGIN), 5u);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(high, 1);
    high = 0;
    SetFilePointer(h, 5, &high, FILE_BEGIN);
    ASSERT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);
    EXPECT_EQ(get(L"C:\\T\\data.bin"), std::string("012\0\0x", 6));

    // Each handle may only do what it was opened for.
    h = open(L"C:\\T\\data.bin", GENERIC_READ, kShareAll, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(h, "y", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEndOfFile(h));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    h = open(L"C:\\T\\data.bin", GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(h));
}

TEST_F(Files, SharingBetweenHandles) {
    put(L"C:\\T\\s.txt", "s");
    struct Case {
        DWORD access1, share1, access2, share2;
        bool second_opens;
    };
    const Case cases[] = {
        // No sharing keeps everyone out.
        {GENERIC_WRITE, 0, GENERIC_READ, kShareAll, false},
        {GENERIC_READ, 0, GENERIC_READ, kShareAll, false},
        // A reader that lets others read refuses a writer, not a reader.
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, false},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ | GENERIC_WRITE, kShareAll, false},
        // The newcomer's own share mode must admit what the first holder does.
        {GENERIC_WRITE, kShareAll, GENERIC_READ, FILE_SHARE_READ, false},
        {GENERIC_WRITE, kShareAll, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {DELETE, kShareAll, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
        // An open that asks for no data access meets no share mode at all.
        {GENERIC_READ, 0, FILE_READ_ATTRIBUTES, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.access1 << "/" << c.share1 << " then "
                                          << c.access2 << "/" << c.share2);
        HANDLE first = open(L"C:\\T\\s.txt", c.access1, c.share1, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second = open(L"C:\\t\\S.TXT", c.access2, c.share2, OPEN_EXISTING);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second_opens);
        if (second == INVALID_HANDLE_VALUE)
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        else
            CloseHandle(second);
        CloseHandle(first);
    }
    // Closing the holder lets the next one in; a file open without delete sharing stays.
    HANDLE h = open(L"C:\\T\\s.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(open(L"C:\\T\\s.txt", GENERIC_WRITE, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(get(L"C:\\T\\s.txt"), "s"); // the refused CREATE_ALWAYS truncated nothing
    EXPECT_FALSE(DeleteFileW(L"C:\\T\\s.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileW(L"C:\\T\\s.txt", L"C:\\T\\moved.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(h);
    h = open(L"C:\\T\\s.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
    EXPECT_TRUE(DeleteFileW(L"C:\\T\\s.txt"));
    CloseHandle(h);
    EXPECT_TRUE(fs::is_empty(tm.root() / "locks"));
}

TEST_F(Files, SharingBetweenProcesses) {
    put(L"C:\\T\\p.txt", "p");
    {
        Helper holder({"hold", "C:\\T\\p.txt", std::to_string(GENERIC_WRITE), "0"});
        ASSERT_EQ(holder.line(), "open");
        EXPECT_EQ(open(L"C:\\T\\p.txt", GENERIC_READ, kShareAll, OPEN_EXISTING),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_FALSE(DeleteFileW(L"C:\\T\\p.txt"));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(holder.finish(), 0);
    }
    HANDLE h = open(L"C:\\T\\p.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    {
        Helper writer(
            {"hold", "C:\\T\\p.txt", std::to_string(GENERIC_WRITE), std::to_string(kShareAll)});
        EXPECT_EQ(writer.line(), "error 32");
        Helper reader({"hold", "C:\\T\\p.txt", std::to_string(GENERIC_READ), "1"});
        EXPECT_EQ(reader.line(), "open");
    }
    CloseHandle(h);
}

TEST_F(Files, Attributes) {
    put(L"C:\\T\\a.txt", "a");
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\a.txt"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesW(L"C:\\T"), FILE_ATTRIBUTE_DIRECTORY);
    struct Case {
        DWORD set, get;
    };
    const Case cases[] = {
        {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_NORMAL},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM,
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
        {FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE},
        {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED,
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetFileAttributesW(L"C:\\T\\a.txt", c.set));
        EXPECT_EQ(GetFileAttributesW(L"c:\\t\\A.TXT"), c.get) << c.set;
    }
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\none.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\none\\x.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesW(L"C:\\T\\none.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, ReadOnlyIsReal) {
    put(L"C:\\T\\ro.txt", "ro");
    ASSERT_TRUE(SetFileAttributesW(L"C:\\T\\ro.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(fs::status(tm.host(L"C:\\T\\ro.txt")).permissions() &
                  (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write),
              fs::perms::none);
    for (DWORD disposition : {OPEN_EXISTING, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
        EXPECT_EQ(open(L"C:\\T\\ro.txt", GENERIC_WRITE, 0, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    EXPECT_FALSE(DeleteFileW(L"C:\\T\\ro.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(get(L"C:\\T\\ro.txt"), "ro");
    // Renaming is allowed and keeps the attribute.
    ASSERT_TRUE(MoveFileW(L"C:\\T\\ro.txt", L"C:\\T\\ro2.txt"));
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\ro2.txt"), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesW(L"C:\\T\\ro2.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileW(L"C:\\T\\ro2.txt"));

    // A file created read-only stays writable through the handle that made it.
    HANDLE h = open(L"C:\\T\\new.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "w", 1, &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\new.txt"),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);

    // Replacing a hidden file must say so.
    put(L"C:\\T\\h.txt", "h");
    SetFileAttributesW(L"C:\\T\\h.txt", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(open(L"C:\\T\\h.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    h = open(L"C:\\T\\h.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    // A read-only folder cannot be removed.
    ASSERT_TRUE(CreateDirectoryW(L"C:\\T\\rd", nullptr));
    ASSERT_TRUE(SetFileAttributesW(L"C:\\T\\rd", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\rd"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
    put(L"C:\\T\\rd\\inside.txt", "still writable inside");
    EXPECT_TRUE(DeleteFileW(L"C:\\T\\rd\\inside.txt"));
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\T\\rd"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(Files, AttributesSurviveANewProcess) {
    put(L"C:\\T\\keep.txt", "k");
    DWORD a = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    ASSERT_TRUE(SetFileAttributesW(L"C:\\T\\keep.txt", a));
    Helper reader({"attributes", "c:\\t\\KEEP.TXT"});
    EXPECT_EQ(reader.line(), std::to_string(a));
}

TEST_F(Files, FolderErrors) {
    EXPECT_FALSE(CreateDirectoryW(L"C:\\T", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(L"C:\\T\\x\\y", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(CreateDirectoryW(L"C:\\", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Folders stop 12 characters short of MAX_PATH.
    std::wstring p247 = L"C:\\T\\" + std::wstring(242, L'd');
    std::wstring p248 = p247 + L"d";
    EXPECT_FALSE(CreateDirectoryW(p248.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_TRUE(CreateDirectoryW(p247.c_str(), nullptr));
    EXPECT_TRUE(RemoveDirectoryW(p247.c_str()));

    put(L"C:\\T\\f.txt", "f");
    ASSERT_TRUE(CreateDirectoryW(L"C:\\T\\Sub", nullptr));
    struct Case {
        const wchar_t* path;
        DWORD error;
    };
    const Case removals[] = {
        {L"C:\\T", ERROR_DIR_NOT_EMPTY},
        {L"C:\\T\\gone", ERROR_FILE_NOT_FOUND},
        {L"C:\\T\\gone\\deeper", ERROR_PATH_NOT_FOUND},
        {L"C:\\T\\f.txt", ERROR_DIRECTORY},
    };
    for (const auto& c : removals) {
        EXPECT_FALSE(RemoveDirectoryW(c.path)) << to_utf8(c.path);
        EXPECT_EQ(GetLastError(), c.error) << to_utf8(c.path);
    }
    const Case deletions[] = {
        {L"C:\\T\\gone.txt", ERROR_FILE_NOT_FOUND},
        {L"C:\\T\\gone\\f.txt", ERROR_PATH_NOT_FOUND},
        {L"C:\\T\\Sub", ERROR_ACCESS_DENIED},
    };
    for (const auto& c : deletions) {
        EXPECT_FALSE(DeleteFileW(c.path)) << to_utf8(c.path);
        EXPECT_EQ(GetLastError(), c.error) << to_utf8(c.path);
    }
    // The current folder is held open.
    ASSERT_TRUE(SetCurrentDirectoryW(L"c:\\t\\sub"));
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\T\\Sub"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\"));
    EXPECT_TRUE(RemoveDirectoryW(L"C:\\T\\SUB"));
}

TEST_F(Files, CurrentDirectory) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\T\\Work", nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\T\\Work\\"));
    wchar_t buf[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buf), 9u);
    EXPECT_STREQ(buf, L"C:\\T\\Work");
    EXPECT_EQ(GetCurrentDirectoryW(9, buf), 10u); // too short: the size needed
    put(L"rel.txt", "relative");
    EXPECT_EQ(get(L"C:\\T\\Work\\rel.txt"), "relative");
    EXPECT_EQ(get(L"..\\Work\\rel.txt"), "relative");
    EXPECT_FALSE(SetCurrentDirectoryW(L"C:\\T\\nothing"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetCurrentDirectoryW(L"rel.txt"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

TEST_F(Files, CopyAndMove) {
    put(L"C:\\T\\src.txt", "source");
    ASSERT_TRUE(
        SetFileAttributesW(L"C:\\T\\src.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(CopyFileW(L"C:\\T\\src.txt", L"C:\\T\\copy.txt", TRUE));
    EXPECT_EQ(get(L"C:\\T\\copy.txt"), "source");
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\copy.txt"),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(fs::last_write_time(tm.host(L"C:\\T\\copy.txt")),
              fs::last_write_time(tm.host(L"C:\\T\\src.txt")));
    // Onto an existing file: refused when asked, and by a read-only target.
    EXPECT_FALSE(CopyFileW(L"C:\\T\\src.txt", L"C:\\T\\copy.txt", TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(CopyFileW(L"C:\\T\\src.txt", L"C:\\T\\copy.txt", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    SetFileAttributesW(L"C:\\T\\copy.txt", FILE_ATTRIBUTE_NORMAL);
    put(L"C:\\T\\copy.txt", "something longer than the source");
    SetFileAttributesW(L"C:\\T\\copy.txt", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(CopyFileW(L"C:\\T\\src.txt", L"C:\\T\\copy.txt", FALSE));
    EXPECT_EQ(get(L"C:\\T\\copy.txt"), "source");
    EXPECT_FALSE(CopyFileW(L"C:\\T\\none.txt", L"C:\\T\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CopyFileW(L"C:\\T\\src.txt", L"C:\\T\\no\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // A file being written by someone who shares writing cannot be copied from.
    put(L"C:\\T\\busy.txt", "busy");
    HANDLE h = open(L"C:\\T\\busy.txt", GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    EXPECT_FALSE(CopyFileW(L"C:\\T\\busy.txt", L"C:\\T\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(h);

    struct Case {
        const wchar_t* from;
        const wchar_t* to;
        DWORD error;
    };
    const Case moves[] = {
        {L"C:\\T\\src.txt", L"C:\\T\\copy.txt", ERROR_ALREADY_EXISTS},
        {L"C:\\T\\none.txt", L"C:\\T\\x.txt", ERROR_FILE_NOT_FOUND},
        {L"C:\\T\\src.txt", L"C:\\T\\no\\x.txt", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : moves) {
        EXPECT_FALSE(MoveFileW(c.from, c.to)) << to_utf8(c.to);
        EXPECT_EQ(GetLastError(), c.error) << to_utf8(c.to);
    }
    ASSERT_TRUE(MoveFileW(L"C:\\T\\src.txt", L"C:\\T\\SRC.TXT")); // a change of case
    EXPECT_TRUE(fs::exists(tm.root() / "drive_c/T/SRC.TXT"));
    EXPECT_FALSE(fs::exists(tm.root() / "drive_c/T/src.txt"));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\T\\D", nullptr));
    ASSERT_TRUE(MoveFileW(L"C:\\T\\src.txt", L"C:\\T\\D\\moved.txt"));
    EXPECT_EQ(get(L"C:\\T\\D\\moved.txt"), "source");
    ASSERT_TRUE(MoveFileW(L"C:\\T\\D", L"C:\\T\\E")); // folders move too
    EXPECT_EQ(get(L"C:\\T\\E\\moved.txt"), "source");
}

TEST_F(Files, TemporaryFiles) {
    wchar_t dir[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, dir);
    std::wstring expected = tm.machine().user_profile() + L"\\AppData\\Local\\Temp\\";
    EXPECT_EQ(std::wstring(dir), expected);
    EXPECT_EQ(n, expected.size());
    EXPECT_EQ(GetTempPathW(static_cast<DWORD>(expected.size()), dir), expected.size() + 1);

    wchar_t a[MAX_PATH], b[MAX_PATH];
    UINT ua = GetTempFileNameW(expected.c_str(), L"dvx_long_prefix", 0, a);
    UINT ub = GetTempFileNameW(expected.c_str(), L"dv", 0, b);
    ASSERT_NE(ua, 0u);
    ASSERT_NE(ub, 0u);
    for (const wchar_t* name : {a, b}) {
        std::wstring s = name;
        ASSERT_TRUE(s.starts_with(expected + L"dv")) << to_utf8(s);
        std::wstring hex = s.substr(expected.size() + (s == a ? 3 : 2));
        ASSERT_TRUE(hex.ends_with(L".tmp")) << to_utf8(s);
        hex.resize(hex.size() - 4);
        EXPECT_FALSE(hex.empty());
        EXPECT_EQ(hex.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << to_utf8(s);
        EXPECT_EQ(GetFileAttributesW(name), FILE_ATTRIBUTE_ARCHIVE) << to_utf8(s);
    }
    EXPECT_NE(std::wstring(a), std::wstring(b));
    // A given number only makes the name.
    EXPECT_EQ(GetTempFileNameW(L"C:\\T", L"dv", 0x1A2B3, a), 0xA2B3u);
    EXPECT_STREQ(a, L"C:\\T\\dvA2B3.tmp");
    EXPECT_EQ(GetFileAttributesW(a), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetTempFileNameW(L"C:\\T\\missing", L"dv", 0, a), 0u);
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
}

TEST_F(Files, Searches) {
    put(L"C:\\T\\b.txt", "bb");
    put(L"C:\\T\\A.txt", "a");
    put(L"C:\\T\\c.log", "c");
    ASSERT_TRUE(CreateDirectoryW(L"C:\\T\\Dir", nullptr));
    auto list = [](const wchar_t* pattern) {
        std::vector<std::string> names;
        WIN32_FIND_DATAW d;
        HANDLE h = FindFirstFileW(pattern, &d);
        if (h == INVALID_HANDLE_VALUE) {
            names.push_back("error " + std::to_string(GetLastError()));
            return names;
        }
        do {
            names.push_back(to_utf8(d.cFileName) +
                            ((d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "/" : ""));
        } while (FindNextFileW(h, &d));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_TRUE(FindClose(h));
        return names;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(list(L"C:\\T\\*"), (V{"./", "../", "A.txt", "b.txt", "c.log", "Dir/"}));
    EXPECT_EQ(list(L"c:\\t\\*.*"), (V{"./", "../", "A.txt", "b.txt", "c.log", "Dir/"}));
    EXPECT_EQ(list(L"C:\\T\\*.TXT"), (V{"A.txt", "b.txt"}));
    EXPECT_EQ(list(L"C:\\T\\?.log"), (V{"c.log"}));
    EXPECT_EQ(list(L"C:\\T\\dir"), (V{"Dir/"}));
    EXPECT_EQ(list(L"C:\\T\\*.none"), (V{"error 2"}));
    EXPECT_EQ(list(L"C:\\T\\"), (V{"error 2"}));
    EXPECT_EQ(list(L"C:\\T\\missing\\*"), (V{"error 3"}));
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(L"C:\\T\\b.txt", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d.nFileSizeLow, 2u);
    EXPECT_EQ(d.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    FindClose(h);
    EXPECT_EQ(handle_count(), 0u);
}

TEST_F(Files, InformationByHandle) {
    put(L"C:\\T\\i.txt", "12345");
    put(L"C:\\T\\j.txt", "12345");
    BY_HANDLE_FILE_INFORMATION a{}, b{}, c{};
    HANDLE h1 = open(L"C:\\T\\i.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
    HANDLE h2 = open(L"c:\\T\\I.TXT", 0, kShareAll, OPEN_EXISTING);
    HANDLE h3 = open(L"C:\\T\\j.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
    ASSERT_TRUE(GetFileInformationByHandle(h1, &a));
    ASSERT_TRUE(GetFileInformationByHandle(h2, &b));
    ASSERT_TRUE(GetFileInformationByHandle(h3, &c));
    EXPECT_EQ(a.nFileSizeLow, 5u);
    EXPECT_EQ(a.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(a.dwVolumeSerialNumber, b.dwVolumeSerialNumber);
    EXPECT_EQ(a.nFileIndexLow, b.nFileIndexLow);
    EXPECT_EQ(a.nFileIndexHigh, b.nFileIndexHigh);
    EXPECT_NE(a.nFileIndexLow, c.nFileIndexLow);
    struct stat st {};
    ASSERT_EQ(::stat(tm.host(L"C:\\T\\i.txt").c_str(), &st), 0);
    FILETIME want = filetime_from_unix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    EXPECT_EQ(a.ftLastWriteTime.dwLowDateTime, want.dwLowDateTime);
    EXPECT_EQ(a.ftLastWriteTime.dwHighDateTime, want.dwHighDateTime);
    FILETIME epoch = filetime_from_unix(0, 0); // 1970-01-01 in 100 ns steps since 1601
    EXPECT_EQ((std::uint64_t(epoch.dwHighDateTime) << 32) | epoch.dwLowDateTime,
              116444736000000000ull);
    CloseHandle(h1);
    CloseHandle(h2);
    CloseHandle(h3);
}

TEST_F(Files, DeleteOnClose) {
    HANDLE h = open(L"C:\\T\\gone.tmp", GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\gone.tmp"),
              FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_ARCHIVE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(L"C:\\T\\gone.tmp"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Files, DvmachineTreeShowsStoredAttributes) {
    put(L"C:\\T\\shown.txt", "12345");
    ASSERT_TRUE(
        SetFileAttributesW(L"C:\\T\\shown.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\T\\Sub", nullptr));
    std::string cmd = std::string(DV_DVMACHINE) + " tree 'c:\\t'";
    FILE* out = ::popen(cmd.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char buf[256];
    while (std::fgets(buf, sizeof buf, out))
        text += buf;
    EXPECT_EQ(::pclose(out), 0);
    EXPECT_EQ(text, "C:\\t\n"
                    "  RH--     shown.txt  (5 bytes)\n"
                    "  ---- [D] Sub\n");
}

} // namespace
