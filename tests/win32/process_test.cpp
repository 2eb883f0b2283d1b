#include "tests/support/temp_machine.h"
#include "win32/memory.h"
#include "win32/process.h"
#include "win32/sync.h"
#include "win32/text.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace fs = std::filesystem;
using namespace win32;

namespace {

TEST(CommandLine, SplitsAsTheRuntimeDoes) {
    struct Case {
        const wchar_t* line;
        std::vector<std::wstring> args;
    };
    const Case cases[] = {
        {LR"("C:\Program Files\Dravik & Rodezura\Marquetta 6\Marquetta.exe" /Register /Background)",
         {LR"(C:\Program Files\Dravik & Rodezura\Marquetta 6\Marquetta.exe)", L"/Register",
          L"/Background"}},
        {LR"(C:\Marquetta\Marquetta.exe /Register /Background)",
         {LR"(C:\Marquetta\Marquetta.exe)", L"/Register", L"/Background"}},
        {LR"(C:\Program Files\x.exe a)", {LR"(C:\Program)", LR"(Files\x.exe)", L"a"}},
        {LR"("C:\a b\x.exe")", {LR"(C:\a b\x.exe)"}},
        {LR"(C:\dir\x.exe	"a b"   c )", {LR"(C:\dir\x.exe)", L"a b", L"c"}},
        {LR"("C:\dir\"x.exe a)", {LR"(C:\dir\x.exe)", L"a"}}, // no escapes in the name
        {LR"(x "C:\Program Files\\" next)", {L"x", LR"(C:\Program Files\)", L"next"}},
        {LR"(x a\\\"b a\\b a\"b)", {L"x", LR"(a\"b)", LR"(a\\b)", LR"(a"b)"}},
        {LR"(x "a""b" "" c"d e"f)", {L"x", LR"(a"b)", L"", L"cd ef"}},
        {LR"(x "unterminated arg)", {L"x", L"unterminated arg"}},
        {L"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split_command_line(c.line), c.args) << to_utf8(c.line);

    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(LR"(prog "one two" three)", &count);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(argv[1], L"one two");
    EXPECT_EQ(argv[3], nullptr);
    EXPECT_EQ(LocalFree(argv), nullptr);
}

class Processes : public dvtest::MachineTest {
protected:
    void SetUp() override {
        fs::path dir = tm.host(L"C:\\Program Files\\Dv Test");
        fs::create_directories(dir);
        fs::copy_file(DV_HELPER_PATH, dir / "helper.exe");
        // As the installer writes it: no execute permission, which Windows does not know.
        fs::permissions(dir / "helper.exe", fs::perms::owner_read | fs::perms::owner_write);
    }

    // Starts `line`; returns the process handle (thread handle closed) or null.
    HANDLE start(std::wstring line, DWORD flags = 0, const wchar_t* cwd = nullptr) {
        STARTUPINFOW si{};
        si.cb = STARTUPINFOW_SIZE_32;
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = 4;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, cwd, &si,
                            &pi))
            return nullptr;
        EXPECT_NE(pi.dwProcessId, 0u);
        EXPECT_TRUE(CloseHandle(pi.hThread));
        return pi.hProcess;
    }

    DWORD run(const std::wstring& line) {
        HANDLE h = start(line);
        if (!h)
            return 0xDEADu;
        EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0xDEADu;
        EXPECT_TRUE(GetExitCodeProcess(h, &code));
        CloseHandle(h);
        return code;
    }
};

TEST_F(Processes, ExitCodesReadBackAsWindowsCodes) {
    struct Case {
        int code;
        DWORD read;
    };
    // The host keeps 8 bits of a status: 255 comes back as -1.
    const Case cases[] = {{-10, 0xFFFFFFF6u}, {0, 0}, {1, 1}, {255, 0xFFFFFFFFu}};
    for (const auto& c : cases)
        EXPECT_EQ(run(LR"("C:\Program Files\Dv Test\helper.exe" exit )" + std::to_wstring(c.code)),
                  c.read)
            << c.code;
    // Unquoted with a blank: found by trying the longer runs of words, ".exe" added.
    EXPECT_EQ(run(LR"(C:\Program Files\Dv Test\helper exit 7)"), 7u);
}

TEST_F(Processes, RunningProcessIsStillActiveUntilItEnds) {
    HANDLE gate = CreateMutexW(nullptr, TRUE, L"Global\\Gate");
    ASSERT_NE(gate, nullptr);
    HANDLE h =
        start(LR"("C:\Program Files\Dv Test\helper.exe" hold Global\Gate 42)", IDLE_PRIORITY_CLASS);
    ASSERT_NE(h, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h, 30), WAIT_TIMEOUT);

    EXPECT_TRUE(ReleaseMutex(gate));
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0); // stays signalled
    CloseHandle(h);
    CloseHandle(gate);
}

TEST_F(Processes, PriorityClassAndTermination) {
    HANDLE gate = CreateMutexW(nullptr, TRUE, L"Gate");
    // Raising the priority needs privileges the tests do not have; it must not fail the start.
    HANDLE high =
        start(LR"("C:\Program Files\Dv Test\helper.exe" hold Gate 1)", HIGH_PRIORITY_CLASS);
    ASSERT_NE(high, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring line = LR"("C:\Program Files\Dv Test\helper.exe" hold Gate 1)";
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, IDLE_PRIORITY_CLASS,
                               nullptr, nullptr, &si, &pi));
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(pi.dwProcessId)), 19);

    EXPECT_TRUE(TerminateProcess(pi.hProcess, 1234));
    EXPECT_EQ(WaitForSingleObject(pi.hThread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 1234u);
    EXPECT_FALSE(GetExitCodeProcess(pi.hThread, &code));
    TerminateProcess(high, 0);
    for (HANDLE x : {high, pi.hProcess, pi.hThread, gate})
        CloseHandle(x);
}

TEST_F(Processes, ChildSeesTheMachineItsFolderAndItsCommandLine) {
    fs::path out = tm.root() / "report.txt";
    std::wstring line = LR"(C:\Program Files\Dv Test\helper.exe report )" +
                        from_utf8(out.string()) + LR"( "two words" a\"b)";
    HANDLE h = start(line, 0, L"C:\\Users\\Public\\Documents\\.");
    ASSERT_NE(h, nullptr);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    std::string expected =
        "machine=" + tm.root().string() + "\n" + "cwd=C:\\Users\\Public\\Documents\n" + "show=4\n" +
        "cmdline=" + to_utf8(line) + "\n" + "arg=C:\\Program\n" + "arg=Files\\Dv\n";
    std::string got = dvtest::read_host_file(out);
    // The unquoted program path is split into words in argv, as a Windows runtime splits it.
    EXPECT_EQ(got.substr(0, expected.size()), expected);
    EXPECT_NE(got.find("arg=two words\narg=a\"b\n"), std::string::npos) << got;
}

TEST_F(Processes, StartFailures) {
    dvtest::write_host_file(tm.host(L"C:\\Program Files\\Dv Test\\text.exe"), "MZ not ours");
    STARTUPINFOW bad{};
    bad.cb = 12;
    PROCESS_INFORMATION pi{};
    std::wstring ok_line = LR"("C:\Program Files\Dv Test\helper.exe" exit 0)";
    EXPECT_FALSE(CreateProcessW(nullptr, ok_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &bad, &pi));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    struct Case {
        const wchar_t* line;
        const wchar_t* cwd;
        DWORD error;
    };
    const Case cases[] = {
        {LR"("C:\Program Files\Dv Test\missing.exe")", nullptr, ERROR_FILE_NOT_FOUND},
        {LR"("C:\No Such Folder\helper.exe")", nullptr, ERROR_PATH_NOT_FOUND},
        {L"nowhere", nullptr, ERROR_FILE_NOT_FOUND},
        {LR"("C:\Program Files\Dv Test\text.exe")", nullptr, ERROR_BAD_EXE_FORMAT},
        {LR"("C:\Program Files\Dv Test\helper.exe" exit 0)", L"C:\\No Such Folder",
         ERROR_DIRECTORY},
        {LR"("C:\Program Files\Dv Test\a|b.exe")", nullptr, ERROR_INVALID_NAME},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(start(c.line, 0, c.cwd), nullptr) << to_utf8(c.line);
        EXPECT_EQ(GetLastError(), c.error) << to_utf8(c.line);
    }
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

} // namespace
