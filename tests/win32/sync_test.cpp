#include "tests/support/temp_machine.h"
#include "tests/win32/helper_client.h"
#include "win32/sync.h"
#include "win32/text.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>

using namespace win32;
using dvtest::HelperProcess;

namespace {

using Objects = dvtest::MachineTest;

// "ok 0" / "ok 183" / "fail 2" as the helper answers a create or open.
std::string opened(DWORD error) {
    return "ok " + std::to_string(error);
}

TEST_F(Objects, MutexOwnedInAnotherProcessIsRefusedThenAbandonedWhenItsOwnerDies) {
    HelperProcess owner;
    ASSERT_EQ(owner.ask("create-mutex Global\\Product.{2bec} 1"), opened(0));

    HANDLE h = CreateMutexW(nullptr, FALSE, L"Global\\Product.{2bec}");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

    // A clean release hands it over normally, and back.
    EXPECT_EQ(owner.ask("release-mutex"), "1 0");
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(owner.ask("wait 0"), std::to_string(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(owner.ask("wait 0"), std::to_string(WAIT_OBJECT_0));

    owner.kill();
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0); // abandoned only once
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Objects, WaiterInAnotherProcessWakesWhenTheMutexIsReleased) {
    HANDLE h = CreateMutexW(nullptr, TRUE, L"Local\\Handover");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HelperProcess waiter;
    ASSERT_EQ(waiter.ask("open-mutex Handover"), opened(0)); // bare name = Local\ namespace
    waiter.send("wait 4294967295");
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(waiter.answer(), std::to_string(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    CloseHandle(h);
}

TEST_F(Objects, MutexRecursionBelongsToTheThread) {
    HANDLE h = CreateMutexW(nullptr, TRUE, L"Recursive");
    ASSERT_NE(h, nullptr);
    HANDLE second = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"Recursive");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0); // same object, same owner

    auto other_thread_wait = [&] {
        DWORD r = 0;
        BOOL released = TRUE;
        DWORD error = 0;
        std::thread([&] {
            released = ReleaseMutex(h);
            error = GetLastError();
            r = WaitForSingleObject(second, 0);
            if (r == WAIT_OBJECT_0)
                ReleaseMutex(second);
        }).join();
        EXPECT_FALSE(released);
        EXPECT_EQ(error, ERROR_NOT_OWNER);
        return r;
    };
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_TRUE(ReleaseMutex(second));
    EXPECT_EQ(other_thread_wait(), WAIT_TIMEOUT); // still owned once
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(other_thread_wait(), WAIT_OBJECT_0);
    CloseHandle(second);
    CloseHandle(h);
}

TEST_F(Objects, MutexOfAThreadThatEndedIsAbandoned) {
    for (const wchar_t* name : {L"Global\\ThreadEnds", static_cast<const wchar_t*>(nullptr)}) {
        HANDLE h = CreateMutexW(nullptr, FALSE, name);
        ASSERT_NE(h, nullptr);
        std::thread([h] { EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0); }).join();
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_ABANDONED) << (name ? "named" : "unnamed");
        EXPECT_TRUE(ReleaseMutex(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(h));
        CloseHandle(h);
    }
}

TEST_F(Objects, NamesNamespacesAndKinds) {
    HANDLE global = CreateMutexW(nullptr, FALSE, L"Global\\Name");
    ASSERT_NE(global, nullptr);
    HANDLE local = CreateMutexW(nullptr, FALSE, L"Name");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS); // another namespace: a new object
    HANDLE local2 = CreateMutexW(nullptr, FALSE, L"Local\\Name");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE upper = CreateMutexW(nullptr, FALSE, L"NAME");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS); // object names are case-sensitive

    struct Case {
        const wchar_t* name;
        DWORD error;
    };
    const std::wstring too_long(300, L'n');
    const Case refused[] = {
        {L"Global\\Name", ERROR_INVALID_HANDLE}, // a mutex, not a semaphore
        {L"Global\\", ERROR_INVALID_NAME},
        {L"Folder\\Name", ERROR_PATH_NOT_FOUND},
        {too_long.c_str(), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 1, c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error) << to_utf8(c.name);
    }
    EXPECT_EQ(OpenSemaphoreW(SYNCHRONIZE, FALSE, L"Missing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Another machine has objects of its own.
    {
        dvtest::TempMachine other;
        EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\Name"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
    for (HANDLE h : {global, local, local2, upper})
        CloseHandle(h);
}

TEST_F(Objects, SemaphoreCountsAndLimits) {
    EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 0, L"S"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateSemaphoreW(nullptr, 3, 2, L"S"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    for (const wchar_t* name : {L"Global\\Counter", static_cast<const wchar_t*>(nullptr)}) {
        HANDLE h = CreateSemaphoreW(nullptr, 1, 3, name);
        ASSERT_NE(h, nullptr);
        LONG previous = -1;
        EXPECT_TRUE(ReleaseSemaphore(h, 2, &previous));
        EXPECT_EQ(previous, 1);
        previous = -1;
        EXPECT_FALSE(ReleaseSemaphore(h, 1, &previous));
        EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
        EXPECT_EQ(previous, -1);
        EXPECT_FALSE(ReleaseSemaphore(h, 0, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(h, 10), WAIT_TIMEOUT);
        EXPECT_FALSE(ReleaseMutex(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

        // A thread blocked on the empty semaphore wakes at the release.
        DWORD woke = 0;
        std::thread waiter([&] { woke = WaitForSingleObject(h, INFINITE); });
        EXPECT_TRUE(ReleaseSemaphore(h, 1, nullptr));
        waiter.join();
        EXPECT_EQ(woke, WAIT_OBJECT_0);
        CloseHandle(h);
    }
}

// The instance counter's way of counting: every process adds a unit, a probe adds one and
// reads the previous count, then takes it back.
LONG probe(HANDLE h) {
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(h, 1, &previous));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    return previous;
}

TEST_F(Objects, SemaphoreSharedByThreeProcessesAndOneKilled) {
    const std::string name = "Global\\Marquetta6.{a352}";
    HelperProcess p1, p2, p3;
    EXPECT_EQ(p1.ask("create-sem " + name + " 0 2147483647"), opened(0));
    EXPECT_EQ(p2.ask("create-sem " + name + " 0 2147483647"), opened(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(p3.ask("open-sem " + name), opened(0));
    EXPECT_EQ(p1.ask("release-sem 1"), "1 0");
    EXPECT_EQ(p2.ask("release-sem 1"), "1 1");
    EXPECT_EQ(p3.ask("release-sem 1"), "1 2");

    HANDLE h = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, L"Global\\Marquetta6.{a352}");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(probe(h), 3);

    // A killed process gives nothing back, as on Windows; its handle no longer keeps the
    // object alive.
    p2.kill();
    EXPECT_EQ(probe(h), 3);
    EXPECT_EQ(p1.ask("wait 0"), std::to_string(WAIT_OBJECT_0));
    EXPECT_EQ(probe(h), 2);

    // A waiter in another process blocks on an empty count and wakes at a release.
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    p3.send("wait 4294967295");
    EXPECT_TRUE(ReleaseSemaphore(h, 1, nullptr));
    EXPECT_EQ(p3.answer(), std::to_string(WAIT_OBJECT_0));

    EXPECT_EQ(p1.ask("close"), "1");
    EXPECT_EQ(p3.exit(0), 0);
    EXPECT_TRUE(CloseHandle(h));
    // Every holder is gone: the name is free and a new creator starts fresh.
    EXPECT_EQ(OpenSemaphoreW(SYNCHRONIZE, FALSE, L"Global\\Marquetta6.{a352}"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    h = CreateSemaphoreW(nullptr, 0, 5, L"Global\\Marquetta6.{a352}");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(probe(h), 0);
    CloseHandle(h);
}

TEST_F(Objects, MutexIsNewAgainAfterItsLastHandle) {
    HANDLE h = CreateMutexW(nullptr, TRUE, L"Global\\Fresh");
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandleSameProcess(h, &dup));
    CloseHandle(h);
    HANDLE again = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\Fresh");
    EXPECT_NE(again, nullptr); // the duplicate keeps it
    CloseHandle(dup);
    CloseHandle(again);
    // Closed while owned, but gone with its last handle: a new one, free and not abandoned.
    h = CreateMutexW(nullptr, FALSE, L"Global\\Fresh");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    std::thread([h] {
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(h));
    }).join();
    CloseHandle(h);

    HelperProcess owner;
    ASSERT_EQ(owner.ask("create-mutex Global\\Crashed 1"), opened(0));
    owner.kill();
    // Its only holder died owning it: the object went with it, nothing is abandoned.
    h = CreateMutexW(nullptr, FALSE, L"Global\\Crashed");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(h));
    CloseHandle(h);
}

} // namespace
