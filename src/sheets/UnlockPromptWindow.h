#pragma once

#include "Vault.h"

#include <QPointer>
#include <functional>

class QWidget;

namespace larkhold {

class UnlockSheet;
class VaultStore;

// The standalone unlock window for the tray menu and panel, which have no window to hang a sheet on.
// At most one is shown: each show() closes the one shown before and builds a new window with fresh
// state, centred and brought to the front of the current desktop. It shows its own errors, since the
// main window (and its alert) may be closed, and an unlock result closes only the window that
// started that unlock, never a newer one.
class UnlockPromptWindow {
public:
    // Uses the application's store (VaultStore::shared()); nothing happens before there is one.
    static void show(const Vault& vault);
    static void show(VaultStore& store, const Vault& vault);

    // The window shown now, if any.
    static UnlockSheet* current();
    // Closes the window shown now, if any (the application does before its store goes).
    static void close();

    // How the window is brought forward. The default shows, raises and activates it; the
    // application may hand in the platform's own (which also moves a window to the current
    // desktop).
    static void setPresenter(std::function<void(QWidget*)> presenter);

private:
    UnlockPromptWindow() = delete;
};

} // namespace larkhold
