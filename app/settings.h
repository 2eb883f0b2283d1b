// The installation settings that the application object holds: what start-up found
// installed, the folders and options the wizard edits, the product mutex and the journal.
// Every part reaches them through the one application object and reads and writes the fields
// directly.
#pragma once

#include "app/product.h"
#include "dv/sync.h"
#include "journal/journal.h"

#include <cstdint>
#include <optional>
#include <string>

class InstallSettings {
public:
    // The product mutex is opened (created if needed) but not owned; start-up takes it.
    InstallSettings();
    InstallSettings(const InstallSettings&) = delete;
    InstallSettings& operator=(const InstallSettings&) = delete;

    // previousState; with a version to fill, an older or newer installation's version text
    // is copied into it (otherwise it is left as it is).
    PreviousInstall GetPreviousState(std::wstring* version = nullptr) const;

    // Declared in this order so that they are destroyed in the reverse: the journal, the
    // folders, the mutex (released if owned, then closed), the version text.
    PreviousInstall previousState = PreviousInstall::None;
    std::wstring previousVersion; // set for an older or newer installed version only
    dv::NamedMutex productMutex;
    // The three folders go together.
    std::wstring installFolder;
    std::wstring shortcutFolder;
    std::wstring tempFolder;
    std::uint8_t createMenuShortcut = 0;
    std::uint8_t createDesktopShortcut = 0;
    std::uint8_t advancedInstall = 0;
    InstallJournal journal;
    std::uint8_t installationDone = 0;
};
