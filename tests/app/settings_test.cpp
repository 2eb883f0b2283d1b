#include "app/settings.h"

#include "tests/support/temp_machine.h"

#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace {

using SettingsTest = dvtest::MachineTest;

TEST_F(SettingsTest, ConstructedEmptyWithTheMutexOpenButNotOwned) {
    InstallSettings s;
    EXPECT_EQ(s.previousState, PreviousInstall::None);
    EXPECT_TRUE(s.previousVersion.empty());
    EXPECT_NE(s.productMutex.handle(), nullptr);
    EXPECT_FALSE(s.productMutex.owned());
    EXPECT_TRUE(s.installFolder.empty() && s.shortcutFolder.empty() && s.tempFolder.empty());
    EXPECT_EQ(s.createMenuShortcut + s.createDesktopShortcut + s.advancedInstall, 0);
    EXPECT_TRUE(s.journal.entries.empty() && s.journal.previousEntries.empty());
    EXPECT_FALSE(s.journal.entryOpen);
    EXPECT_EQ(s.installationDone, 0);
}

TEST_F(SettingsTest, PreviousStateGivesTheVersionOfAnOlderOrNewerInstallationOnly) {
    InstallSettings s;
    s.previousVersion = L"Marquetta 6.04";
    struct Case {
        PreviousInstall state;
        bool copied;
    };
    const Case cases[] = {{PreviousInstall::None, false},
                          {PreviousInstall::SameVersion, false},
                          {PreviousInstall::OlderVersion, true},
                          {PreviousInstall::NewerVersion, true}};
    for (const Case& c : cases) {
        s.previousState = c.state;
        std::wstring out = L"untouched";
        EXPECT_EQ(s.GetPreviousState(&out), c.state);
        EXPECT_EQ(out, c.copied ? L"Marquetta 6.04" : L"untouched");
        EXPECT_EQ(s.GetPreviousState(), c.state);
    }
}

// Whether another thread could take the product mutex right now.
bool free_for_another_thread() {
    bool obtained = false;
    std::thread other([&] {
        dv::NamedMutex probe(dv::product_mutex_name().c_str(), false, true);
        obtained = probe.try_lock();
    });
    other.join();
    return obtained;
}

TEST_F(SettingsTest, TheOwnedMutexIsReleasedWithTheSettings) {
    auto s = std::make_unique<InstallSettings>();
    ASSERT_TRUE(s->productMutex.try_lock());
    EXPECT_FALSE(free_for_another_thread());
    s.reset();
    EXPECT_TRUE(free_for_another_thread());
}

} // namespace
