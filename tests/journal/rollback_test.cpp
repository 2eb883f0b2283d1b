// A small installation, scripted as the installation sequence drives the journal, is cut short
// at every recording step (right after the recording, after the change, after the step
// closed) and rolled back: the machine must be exactly as before, files, attributes, folders,
// registry and temporary folder alike.
#include "journal/journal.h"

#include "app/product.h"
#include "tests/journal/support.h"
#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/handles.h"
#include "win32/registry.h"
#include "win32/text.h"

#include <functional>
#include <gtest/gtest.h>

using namespace win32;
using namespace jtest;

namespace {

const std::wstring app = L"C:\\Program Files\\Dravik & Rodezura\\Marquetta 6";
const std::wstring menu =
    L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Dravik & Rodezura\\Marquetta 6";
const std::wstring desktop = L"C:\\Users\\Public\\Desktop";
const std::wstring shared = L"C:\\ProgramData\\Dravik & Rodezura\\Shared\\Palette.dat";
const std::wstring samples = L"C:\\Users\\Public\\Documents\\Marquetta Examples";

// An earlier installation: its files (the program read-only), its menu link, its uninstall key
// and its log.
void install_earlier_version() {
    put_file(app + L"\\Marquetta.exe", "program 6.04", FILE_ATTRIBUTE_READONLY);
    put_file(app + L"\\Uninstall.exe", "uninstaller 6.04", FILE_ATTRIBUTE_READONLY);
    put_file(app + L"\\My notes.txt", "the user's own file");
    put_file(shared, "shared palette", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    put_file(menu + L"\\Marquetta 6.05f.lnk", "earlier link");
    HKEY key = create_key(uninstallKeyPath());
    set_string(key, L"DisplayName", L"Marquetta 6.04");
    set_string(key, L"UninstallString", app + L"\\Uninstall.exe");
    set_dword(key, L"DvLanguage", 0);
    RegCloseKey(create_key(uninstallKeyPath() + L"\\Extra"));
    RegCloseKey(key);
    std::wstring log = L"// Uninstall Log File v1\r\n// warning\r\n// Install Marquetta 6.04\r\n"
                       L"// Install Path : " +
                       app + L"\r\n// Shortcut Path : " + menu +
                       L"\r\n// --\r\n"
                       L"0000:0101:1 -- " +
                       app +
                       L"\\Marquetta.exe\r\n"
                       L"0001:0103:1 -- " +
                       shared +
                       L"\r\n"
                       L"0002:02ff:1 -- " +
                       menu + L"\\Marquetta 6.05f.lnk\r\n";
    std::string bytes = "\xFF\xFE";
    append_utf16le(bytes, log);
    put_file(app + L"\\Uninstall.ulog", bytes,
             FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
}

void write_new(const std::wstring& path, std::string_view bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << to_utf8(path);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
}

// One step of the installation: its recording, its change to the machine, and how it closes.
struct Step {
    const char* name;
    std::function<void(InstallJournal&)> record;
    std::function<void()> change;
    std::function<void(InstallJournal&)> close;
    // A link's path reaches the journal only when its step closes, so a failure between the
    // link's creation and the close is no point the journal could undo.
    bool changeNeedsClose = false;
};

HKEY openKey = nullptr; // the product key while the registry step runs

std::vector<Step> installation() {
    auto file = [](const char* name, std::wstring path, std::uint32_t kind, const char* bytes) {
        return Step{name, [=](InstallJournal& j) { j.RecordFile(path, kind, false); },
                    [=] { write_new(path, bytes); }, [](InstallJournal& j) { j.CloseEntry(true); }};
    };
    return {
        file("program over the read-only earlier one", app + L"\\Marquetta.exe", 1,
             "program 6.05f"),
        file("uninstaller", app + L"\\Uninstall.exe", 2, "uninstaller 6.05f"),
        file("file in two new folders", app + L"\\Languages\\French\\fr.dll", 0, "french"),
        file("sample in a new folder", samples + L"\\Chair.mq", 4, "sample"),
        {"kept shared file", [](InstallJournal& j) { j.RecordFile(shared, 3, true); }, [] {},
         [](InstallJournal& j) { j.CloseEntry(true); }},
        {"menu shortcut", [](InstallJournal& j) { j.RecordShortcut(0, menu); },
         [] { write_new(menu + L"\\Marquetta 6.05f.lnk", "new link"); },
         [](InstallJournal& j) { j.CloseEntry(true, menu + L"\\Marquetta 6.05f.lnk"); }, true},
        {"desktop shortcut", [](InstallJournal& j) { j.RecordShortcut(2, desktop); },
         [] { write_new(desktop + L"\\Marquetta 6.05f.lnk", "desktop link"); },
         [](InstallJournal& j) { j.CloseEntry(true, desktop + L"\\Marquetta 6.05f.lnk"); }, true},
        {"uninstall key",
         [](InstallJournal& j) {
             HKEY parent = nullptr;
             ASSERT_EQ(
                 RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstallKeyParent, 0, KEY_ALL_ACCESS, &parent),
                 ERROR_SUCCESS);
             DWORD disposition = 0;
             ASSERT_EQ(RegCreateKeyExW(parent, productDisplayName().c_str(), 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, &openKey, &disposition),
                       ERROR_SUCCESS);
             RegCloseKey(parent);
             j.RecordUninstallKey(disposition == REG_OPENED_EXISTING_KEY ? openKey : nullptr);
         },
         [] {
             set_string(openKey, L"DisplayName", productTitle());
             set_string(openKey, L"UninstallString", app + L"\\Uninstall.exe");
             set_dword(openKey, L"NoModify", 1);
             RegDeleteValueW(openKey, L"DvLanguage");
             set_dword(openKey, L"DvLanguage", 1);
         },
         [](InstallJournal& j) { j.CloseEntry(true); }},
        {"registration", [](InstallJournal& j) { j.RecordRegistration(); }, [] {},
         [](InstallJournal& j) { j.CloseEntry(false); }},
    };
}

enum class Phase { recorded, changed, closed };

// Runs the installation up to `step` in `phase`, then fails and rolls back.
void run_and_fail(InstallJournal& journal, std::size_t failing, Phase phase) {
    auto steps = installation();
    for (std::size_t i = 0; i <= failing; ++i) {
        steps[i].record(journal);
        if (i < failing || phase != Phase::recorded)
            steps[i].change();
        if (i < failing || phase == Phase::closed)
            steps[i].close(journal);
        if (openKey && (i < failing || phase != Phase::recorded)) {
            RegCloseKey(openKey);
            openKey = nullptr;
        }
    }
    // As the failure handler does: the open entry is closed as failed.
    journal.CloseEntry(false);
    if (openKey) {
        RegCloseKey(openKey);
        openKey = nullptr;
    }
    journal.Rollback();
}

TEST(JournalRollback, AFailureAtEveryRecordingStepLeavesTheMachineAsItWas) {
    const std::size_t steps = installation().size();
    int points = 0;
    for (bool earlier : {true, false}) {
        for (std::size_t failing = 0; failing < steps; ++failing) {
            for (Phase phase : {Phase::recorded, Phase::changed, Phase::closed}) {
                if (phase == Phase::changed && installation()[failing].changeNeedsClose)
                    continue;
                dvtest::TempMachine tm;
                if (earlier)
                    install_earlier_version();
                InstallJournal journal;
                journal.ReadLog(earlier ? std::optional(app + L"\\Uninstall.ulog") : std::nullopt);
                ASSERT_EQ(journal.previousEntries.size(), earlier ? 3u : 0u);
                // Reading the registry makes a fresh machine's hives.
                const std::string keyBefore = dump_key(uninstallKeyPath());
                const Snapshot before = snapshot();

                run_and_fail(journal, failing, phase);
                ++points;

                const Snapshot after = snapshot();
                const std::string where = std::string(earlier ? "update" : "fresh") + ", step " +
                                          std::to_string(failing) + " (" +
                                          installation()[failing].name + "), phase " +
                                          std::to_string(static_cast<int>(phase));
                EXPECT_TRUE(before == after) << where << "\n" << diff(before, after);
                EXPECT_EQ(dump_key(uninstallKeyPath()), keyBefore) << where;
                EXPECT_TRUE(backup_files().empty()) << where;
                EXPECT_TRUE(journal.entries.empty()) << where;
                EXPECT_EQ(journal.previousEntries.size(), earlier ? 3u : 0u) << where;
            }
        }
    }
    EXPECT_EQ(points, static_cast<int>((steps * 3 - 2) * 2));
    std::printf("rollback injection points: %d\n", points);
}

} // namespace
