#pragma once

#include "Vault.h"

#include <functional>

namespace larkhold {

// What the tray menu, the tray panel and the main window's menu do beyond calling the store. The application fills
// these in from the windows of the other libraries (settings, sheets, home); an empty one does nothing.
struct ShellActions {
    // Brings the main window (id "main") back, to the current desktop and to the front.
    std::function<void()> showMainWindow;
    std::function<void()> showSettings;
    std::function<void()> showChangelog;
    std::function<void()> showAbout;
    // Every way out of the application goes here.
    std::function<void()> quit;
    // The open panel that adds a vault file to the list.
    std::function<void()> chooseExistingVault;
    // The open panel that points a moved vault at its file again.
    std::function<void(const Vault&)> locate;
    // Shows the vault file in the file manager, or says why it cannot.
    std::function<void(const Vault&)> reveal;
    // The standalone "Unlock Vault" window for a vault whose password must be typed.
    std::function<void(const Vault&)> showUnlockPrompt;
};

inline void callIfSet(const std::function<void()>& action) {
    if (action)
        action();
}

inline void callIfSet(const std::function<void(const Vault&)>& action, const Vault& vault) {
    if (action)
        action(vault);
}

} // namespace larkhold
