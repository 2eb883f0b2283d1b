#include "app/settings.h"

InstallSettings::InstallSettings() : productMutex(dv::product_mutex_name().c_str(), false, true) {}

PreviousInstall InstallSettings::GetPreviousState(std::wstring* version) const {
    if (version && (previousState == PreviousInstall::NewerVersion ||
                    previousState == PreviousInstall::OlderVersion))
        *version = previousVersion;
    return previousState;
}
